#pragma once

#include <QLayout>
#include <QRect>
#include <vector>

// Places each widget at its template rectangle when the window has its minimum size, and
// hands the room beyond it out by fractions: fx and fy move the widget by that share of the
// extra width and height, fw and fh grow it by that share.
class CAnchorLayout : public QLayout {
  public:
    struct Anchor {
        double fx = 0, fy = 0, fw = 0, fh = 0;
    };

    explicit CAnchorLayout(const QSize& minimum, QWidget* parent = nullptr);
    ~CAnchorLayout() override;

    void Place(QWidget* widget, const QRect& base, Anchor anchor);

    void addItem(QLayoutItem* item) override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    int count() const override;
    QSize sizeHint() const override { return m_minimum; }
    QSize minimumSize() const override { return m_minimum; }
    void setGeometry(const QRect& rect) override;

  private:
    struct Entry {
        QLayoutItem* item;
        QRect base;
        Anchor anchor;
    };
    QSize m_minimum;
    std::vector<Entry> m_entries;
};
