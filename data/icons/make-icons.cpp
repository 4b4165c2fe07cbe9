// Draws the three globe icons (blue: application, green: capturing, grey: idle) as PNG files.
// Build and run once when the pictures change:
//   g++ -std=c++17 -fPIC make-icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make-icons
//   QT_QPA_PLATFORM=offscreen /tmp/make-icons .
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <cmath>

namespace {

struct Palette {
    const char* name;
    QColor light, mid, dark, line;
};

QImage DrawGlobe(int size, const Palette& p) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter g(&image);
    g.setRenderHint(QPainter::Antialiasing);
    const double margin = size * 0.06;
    const QRectF ball(margin, margin, size - 2 * margin, size - 2 * margin);
    const QPointF c = ball.center();
    const double r = ball.width() / 2;

    // Soft shadow below the ball.
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0, 0, 0, 40));
    g.drawEllipse(QRectF(c.x() - r * 0.8, ball.bottom() - r * 0.12, r * 1.6, r * 0.18));

    QRadialGradient fill(c.x() - r * 0.35, c.y() - r * 0.4, r * 1.5);
    fill.setColorAt(0.0, p.light);
    fill.setColorAt(0.55, p.mid);
    fill.setColorAt(1.0, p.dark);
    g.setBrush(fill);
    g.setPen(QPen(p.dark, std::max(1.0, size / 48.0)));
    g.drawEllipse(ball);

    // Parallels and meridians, clipped to the ball.
    QPainterPath clip;
    clip.addEllipse(ball);
    g.setClipPath(clip);
    g.setBrush(Qt::NoBrush);
    g.setPen(QPen(p.line, std::max(1.0, size / 40.0)));
    for (int i = -2; i <= 2; ++i) {
        double y = c.y() + i * r * 0.38;
        double half = std::sqrt(std::max(0.0, r * r - (y - c.y()) * (y - c.y())));
        g.drawLine(QPointF(c.x() - half, y), QPointF(c.x() + half, y));
    }
    for (double k : {0.0, 0.45, 0.82}) {
        if (k == 0.0) {
            g.drawLine(QPointF(c.x(), ball.top()), QPointF(c.x(), ball.bottom()));
        } else {
            g.drawEllipse(QRectF(c.x() - r * k, ball.top(), 2 * r * k, ball.height()));
        }
    }
    g.setClipping(false);

    // Highlight.
    QRadialGradient shine(c.x() - r * 0.4, c.y() - r * 0.45, r * 0.55);
    shine.setColorAt(0.0, QColor(255, 255, 255, 170));
    shine.setColorAt(1.0, QColor(255, 255, 255, 0));
    g.setPen(Qt::NoPen);
    g.setBrush(shine);
    g.drawEllipse(ball);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString(".");
    const Palette palettes[] = {
        {"blue", QColor(150, 205, 255), QColor(30, 120, 220), QColor(10, 55, 130),
         QColor(225, 240, 255, 190)},
        {"green", QColor(170, 240, 170), QColor(40, 170, 70), QColor(15, 85, 30),
         QColor(230, 255, 230, 190)},
        {"grey", QColor(235, 235, 235), QColor(150, 150, 150), QColor(80, 80, 80),
         QColor(250, 250, 250, 190)},
    };
    for (const Palette& p : palettes) {
        for (int size : {16, 24, 32, 48, 64, 72, 96, 128, 256}) {
            QString path = QString("%1/globe-%2-%3.png").arg(folder).arg(p.name).arg(size);
            if (!DrawGlobe(size, p).save(path)) return 1;
        }
    }
    return 0;
}
