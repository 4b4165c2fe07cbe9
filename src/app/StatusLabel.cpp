#include "app/StatusLabel.h"

#include <QPainter>

CStatusLabel::CStatusLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

void CStatusLabel::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    const QRect r = contentsRect().adjusted(2, 0, -2, 0);
    painter.setPen(m_warning ? WarningColour() : palette().color(QPalette::WindowText));
    painter.drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, r.width()));
}

void CStatusLabel::SetWarning(bool warning) {
    if (m_warning == warning) return;
    m_warning = warning;
    update();
}
