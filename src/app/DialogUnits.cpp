#include "app/DialogUnits.h"

#include <QFontMetrics>

namespace {
int MulDiv(int value, int numerator, int denominator) {
    return (value * numerator + denominator / 2) / denominator;
}
}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    const int alphabet =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = (alphabet / 26 + 1) / 2;
    m_baseY = metrics.height();
    if (m_baseX <= 0) m_baseX = 7;
    if (m_baseY <= 0) m_baseY = 14;
}

int DialogUnits::X(int units) const {
    return MulDiv(units, m_baseX, 4);
}

int DialogUnits::Y(int units) const {
    return MulDiv(units, m_baseY, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(x + width) - X(x), Y(y + height) - Y(y));
}

QFont SongTiFont(int pointSize) {
    QFont font;
    font.setFamilies(
        {"SimSun", "NSimSun", "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Droid Sans Fallback"});
    font.setPointSize(pointSize);
    return font;
}

QFont ShellDlgFont(int pointSize) {
    QFont font;
    font.setFamilies(
        {"Microsoft Sans Serif", "DejaVu Sans", "WenQuanYi Micro Hei", "Noto Sans CJK SC"});
    font.setPointSize(pointSize);
    return font;
}
