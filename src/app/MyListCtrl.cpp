#include "app/MyListCtrl.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace {

class RowColourDelegate : public CCellTipDelegate {
  public:
    explicit RowColourDelegate(CMyListCtrl* list) : CCellTipDelegate(list), m_list(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QColor back, text;
        m_list->RowColours(index.row(), (option.state & QStyle::State_Selected) != 0, &back, &text);
        painter->fillRect(option.rect, back);
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(text);
        const QRect r = opt.rect.adjusted(4, 0, -4, 0);
        painter->drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
                          opt.fontMetrics.elidedText(opt.text, Qt::ElideRight, r.width()));
        painter->restore();
    }

  private:
    CMyListCtrl* m_list;
};

}  // namespace

bool CReportItem::operator<(const QTreeWidgetItem& other) const {
    const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : 0;
    // A cell may carry the value it sorts by (a size in bytes behind "10.1 KB").
    const QVariant ka = data(column, kSortKey), kb = other.data(column, kSortKey);
    if (ka.isValid() && kb.isValid()) return ka.toLongLong() < kb.toLongLong();
    const QString a = text(column), b = other.text(column);
    bool aNumber = false, bNumber = false;
    const qlonglong x = a.toLongLong(&aNumber), y = b.toLongLong(&bNumber);
    if (aNumber && bNumber) return x < y;
    return a < b;
}

bool CCellTipDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                 const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip)
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QString text = index.data(Qt::DisplayRole).toString();
    // The same margins the cells are drawn with.
    if (option.fontMetrics.horizontalAdvance(text) > option.rect.width() - 8) {
        QToolTip::showText(event->globalPos(), text, view, option.rect);
    } else {
        QToolTip::hideText();
    }
    return true;
}

void SetupReportList(QTreeWidget* list) {
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setAllColumnsShowFocus(true);        // full-row select
    list->header()->setSectionsMovable(true);  // header drag and drop
    list->header()->setStretchLastSection(false);
    list->setFrameShape(QFrame::StyledPanel);
    list->setFocusPolicy(Qt::StrongFocus);
    list->setContextMenuPolicy(Qt::NoContextMenu);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setTextElideMode(Qt::ElideRight);
    list->setItemDelegate(new CCellTipDelegate(list));
    list->header()->setSectionsClickable(true);
}

CMyListCtrl::CMyListCtrl(QWidget* parent) : QTreeWidget(parent) {
    const QPalette p = palette();
    m_selectedBack = p.color(QPalette::Highlight);
    m_oddText = p.color(QPalette::ButtonText);
    m_evenText = p.color(QPalette::ButtonText);
    // Dark text on the light red of the row under the mouse, light text on the highlight.
    m_hotText = p.color(QPalette::ButtonText);
    m_selectedText = p.color(QPalette::HighlightedText);
    SetupReportList(this);
    setItemDelegate(new RowColourDelegate(this));
    viewport()->setMouseTracking(true);
}

void CMyListCtrl::RowColours(int row, bool selected, QColor* background, QColor* text) const {
    if (row == m_hotRow) {
        *background = m_hotBack;
        *text = m_hotText;
    } else if (selected) {
        *background = m_selectedBack;
        *text = m_selectedText;
    } else if (row % 2 == 0) {
        *background = m_evenBack;
        *text = m_evenText;
    } else {
        *background = m_oddBack;
        *text = m_oddText;
    }
}

void CMyListCtrl::InvalidateRow(int row) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (item == nullptr) return;
    QRect r = visualItemRect(item);
    r.setLeft(0);
    r.setRight(viewport()->width());
    viewport()->update(r);
}

void CMyListCtrl::OnMouseMove(const QPoint& viewportPos) {
    QModelIndex index = indexAt(viewportPos);
    int row = index.isValid() ? index.row() : -1;
    if (row != m_hotRow) {
        int previous = m_hotRow;
        m_hotRow = row;
        if (previous >= 0) InvalidateRow(previous);
        if (row >= 0) InvalidateRow(row);
    }
    // The viewport reports its leave event once tracking has begun.
    if (m_tracking == 0) m_tracking = 1;
}

void CMyListCtrl::OnMouseLeave() {
    m_tracking = 0;
    if (m_hotRow >= 0) {
        int previous = m_hotRow;
        m_hotRow = -1;
        InvalidateRow(previous);
    }
}

bool CMyListCtrl::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        OnMouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
    } else if (event->type() == QEvent::Leave) {
        OnMouseLeave();
    }
    return QTreeWidget::viewportEvent(event);
}
