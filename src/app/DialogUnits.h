#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>

// Converts dialog-template units to pixels from the dialog font's metrics, as dialog templates
// do: a horizontal unit is a quarter of the average character width, a vertical one an eighth of
// the character height.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;
    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

  private:
    int m_baseX;
    int m_baseY;
};

// The template fonts ("宋体", "MS Shell Dlg") with fall-backs that show Chinese on Linux.
QFont SongTiFont(int pointSize);
QFont ShellDlgFont(int pointSize);
