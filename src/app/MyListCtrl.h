#pragma once

#include <QColor>
#include <QStyledItemDelegate>
#include <QTreeWidget>

// A report list that colours its rows: even rows white, odd rows light blue, the selected row in
// the highlight colour, and the row under the mouse light red (even when selected).
class CMyListCtrl : public QTreeWidget {
    Q_OBJECT
  public:
    explicit CMyListCtrl(QWidget* parent = nullptr);

    // The colours a row is drawn with now.
    void RowColours(int row, bool selected, QColor* background, QColor* text) const;
    int HotRow() const { return m_hotRow; }
    int Tracking() const { return m_tracking; }

    // Hot tracking, from the viewport's mouse moves and its leave event.
    void OnMouseMove(const QPoint& viewportPos);
    void OnMouseLeave();

    int m_tracking = 0;
    int m_hotRow = -1;
    QColor m_oddBack{227, 242, 254};
    QColor m_evenBack{255, 255, 255};
    QColor m_hotBack{255, 204, 204};
    QColor m_selectedBack;
    QColor m_oddText;
    QColor m_evenText;
    QColor m_hotText;
    QColor m_selectedText;

  protected:
    bool viewportEvent(QEvent* event) override;

  private:
    void InvalidateRow(int row);
};

// A row of a report list: sorts numbers by value, other texts by their characters.
class CReportItem : public QTreeWidgetItem {
  public:
    // The role of a cell's own sort value, when its text does not sort right.
    static const int kSortKey = Qt::UserRole + 1;
    bool operator<(const QTreeWidgetItem& other) const override;
};

// Paints nothing of its own; a cell whose text is cut off shows the whole text as its tooltip.
class CCellTipDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

// The look the three report lists share: report view, single selection, full-row select,
// movable headers, no branches.
void SetupReportList(QTreeWidget* list);
