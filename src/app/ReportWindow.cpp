#include "app/ReportWindow.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QThread>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>

#include "app/Language.h"
#include "app/MyListCtrl.h"

CReportWindow::CReportWindow(QTreeWidget* netDataList, QTreeWidget* streamList, QLabel* status,
                             QObject* parent)
    : QObject(parent), m_netData(netDataList), m_streams(streamList), m_status(status) {
    // Rows that are already there (none, normally) belong to the mirror too.
    WithReportLock([&] {
        for (QTreeWidget* w : {m_netData, m_streams}) {
            std::vector<Row>* mirror = Mirror(w == m_netData ? IDC_LIST_NETDATA : IDC_LIST_STREAM);
            for (int i = 0; i < w->topLevelItemCount(); ++i) {
                Row r;
                for (int c = 0; c < 3; ++c)
                    r.columns[c] = w->topLevelItem(i)->text(c).toStdString();
                mirror->push_back(r);
                Items(w == m_netData ? IDC_LIST_NETDATA : IDC_LIST_STREAM)
                    ->push_back(w->topLevelItem(i));
            }
        }
    });
}

CReportWindow::~CReportWindow() = default;

std::vector<CReportWindow::Row>* CReportWindow::Mirror(int id) {
    if (id == IDC_LIST_NETDATA) return &m_netRows;
    if (id == IDC_LIST_STREAM) return &m_streamRows;
    return nullptr;
}

const std::vector<CReportWindow::Row>* CReportWindow::Mirror(int id) const {
    return const_cast<CReportWindow*>(this)->Mirror(id);
}

std::vector<QTreeWidgetItem*>* CReportWindow::Items(int id) {
    if (id == IDC_LIST_NETDATA) return &m_netItems;
    if (id == IDC_LIST_STREAM) return &m_streamItems;
    return nullptr;
}

const std::vector<QTreeWidgetItem*>* CReportWindow::Items(int id) const {
    return const_cast<CReportWindow*>(this)->Items(id);
}

QTreeWidget* CReportWindow::Widget(int id) const {
    if (id == IDC_LIST_NETDATA) return m_netData;
    if (id == IDC_LIST_STREAM) return m_streams;
    return nullptr;
}

bool CReportWindow::HasControl(int id) {
    return id == IDC_LIST_NETDATA || id == IDC_LIST_STREAM || id == IDC_STATIC_STATUS;
}

int CReportWindow::GetItemCount(int id) {
    std::vector<Row>* m = Mirror(id);
    return m == nullptr ? 0 : static_cast<int>(m->size());
}

void CReportWindow::RequestSync() {
    // Always through the event loop, also on the GUI thread: a report may come from inside a
    // widget's own signal, where its model must not change.
    if (m_syncPosted) return;
    m_syncPosted = true;
    QMetaObject::invokeMethod(
        this, [this] { Sync(); }, Qt::QueuedConnection);
}

void CReportWindow::Queue(Op op) {
    if (op.list == IDC_LIST_STREAM) m_streamsChanged = true;
    if (!m_rebuild) {
        if (m_ops.size() >= kMaxQueued) {
            m_ops.clear();
            m_rebuild = true;
        } else {
            m_ops.push_back(std::move(op));
        }
    }
    RequestSync();
}

void CReportWindow::DeleteItem(int id, int row) {
    std::vector<Row>* m = Mirror(id);
    if (m == nullptr || row < 0 || row >= static_cast<int>(m->size())) return;
    m->erase(m->begin() + row);
    Queue({Op::Delete, id, row, 0, 0, 0, std::string()});
}

void CReportWindow::InsertItem(int id, int row, const std::string& text) {
    std::vector<Row>* m = Mirror(id);
    if (m == nullptr) return;
    if (row < 0 || row > static_cast<int>(m->size())) row = static_cast<int>(m->size());
    Row r;
    r.columns[0] = text;
    m->insert(m->begin() + row, r);
    Queue({Op::Insert, id, row, 0, 0, 0, text});
}

void CReportWindow::SetItemText(int id, int row, int column, const std::string& text) {
    std::vector<Row>* m = Mirror(id);
    if (m == nullptr || row < 0 || row >= static_cast<int>(m->size()) || column < 0 || column > 2)
        return;
    (*m)[row].columns[column] = text;
    Queue({Op::Text, id, row, column, 0, 0, text});
}

void CReportWindow::SetItemState(int id, int row, unsigned state, unsigned mask) {
    std::vector<Row>* m = Mirror(id);
    if (m == nullptr || row < 0 || row >= static_cast<int>(m->size())) return;
    const bool selects = (mask & state & LVIS_SELECTED) != 0;
    if (selects) {
        for (Row& r : *m) r.state &= ~LVIS_SELECTED;  // single selection
    }
    (*m)[row].state = ((*m)[row].state & ~mask) | (state & mask);
    // The stream list's selection handler records the newly selected row.
    if (selects && id == IDC_LIST_STREAM) SetSelectedStreamRow(row);
    Queue({Op::State, id, row, 0, state, mask, std::string()});
}

void CReportWindow::SetWindowText(int id, const std::string& text) {
    if (id != IDC_STATIC_STATUS) return;
    // LogOut shows the counters of before its call, one row behind a row it has just added;
    // the window shows those of after it, which match the rows.
    const std::string status = GetStatusText();
    if (text.rfind("状态：" + status + "  网络包数：", 0) == 0) {
        m_statusText = "状态：" + status + "  网络包数：" + std::to_string(GetNetDataCount()) +
                       "  视频流数:" + std::to_string(GetStreamCount()) + "  异常：" +
                       GetLastErrorText();
    } else {
        m_statusText = text;
    }
    m_statusDirty = true;
    RequestSync();
}

void CReportWindow::OnReport(int, int, const std::string&, const std::string&) {}

void CReportWindow::ApplyToWidgetState(QTreeWidget* w, int row, unsigned state, unsigned mask) {
    const std::vector<QTreeWidgetItem*>& items =
        *Items(w == m_netData ? IDC_LIST_NETDATA : IDC_LIST_STREAM);
    if (row < 0 || row >= static_cast<int>(items.size())) return;
    QTreeWidgetItem* item = items[static_cast<size_t>(row)];
    QModelIndex index = w->indexFromItem(item);
    if (mask & LVIS_SELECTED) {
        if (state & LVIS_SELECTED) {
            w->selectionModel()->select(
                index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        } else {
            w->selectionModel()->select(index,
                                        QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        }
    }
    if ((mask & LVIS_FOCUSED) && (state & LVIS_FOCUSED))
        w->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
}

void CReportWindow::Apply(const Op& op) {
    QTreeWidget* w = Widget(op.list);
    std::vector<QTreeWidgetItem*>& items = *Items(op.list);
    const int count = static_cast<int>(items.size());
    switch (op.kind) {
        case Op::Insert: {
            QTreeWidgetItem* item = new CReportItem();
            item->setText(0, QString::fromStdString(op.text));
            int row = op.row > count || op.row < 0 ? count : op.row;
            items.insert(items.begin() + row, item);
            // Sorted, the place does not matter: Sync sorts again.
            w->insertTopLevelItem(SortColumn(op.list) < 0 ? row : 0, item);
            break;
        }
        case Op::Delete:
            if (op.row >= 0 && op.row < count) {
                delete items[static_cast<size_t>(op.row)];
                items.erase(items.begin() + op.row);
            }
            break;
        case Op::Clear:
            w->clear();
            items.clear();
            break;
        case Op::Deselect:
            w->selectionModel()->clearSelection();
            break;
        case Op::Text:
            if (op.row >= 0 && op.row < count)
                items[static_cast<size_t>(op.row)]->setText(op.column,
                                                            QString::fromStdString(op.text));
            break;
        case Op::State:
            ApplyToWidgetState(w, op.row, op.state, op.mask);
            break;
    }
}

void CReportWindow::Rebuild() {
    for (int id : {IDC_LIST_NETDATA, IDC_LIST_STREAM}) {
        QTreeWidget* w = Widget(id);
        w->clear();
        const std::vector<Row>& rows = *Mirror(id);
        std::vector<QTreeWidgetItem*>& order = *Items(id);
        order.clear();
        QList<QTreeWidgetItem*> items;
        items.reserve(static_cast<int>(rows.size()));
        for (const Row& r : rows) {
            QTreeWidgetItem* item = new CReportItem();
            for (int c = 0; c < 3; ++c) item->setText(c, QString::fromStdString(r.columns[c]));
            items.append(item);
            order.push_back(item);
        }
        w->addTopLevelItems(items);
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].state & (LVIS_SELECTED | LVIS_FOCUSED))
                ApplyToWidgetState(w, static_cast<int>(i), rows[i].state,
                                   LVIS_SELECTED | LVIS_FOCUSED);
    }
}

void CReportWindow::Reconcile(int id) {
    // The view picks a neighbour when the selected row goes; the mirror says what is selected.
    QTreeWidget* w = Widget(id);
    const int want = FirstSelected(id);
    const std::vector<QTreeWidgetItem*>& items = *Items(id);
    bool differs = false;
    for (size_t i = 0; i < items.size() && !differs; ++i)
        differs = items[i]->isSelected() != (static_cast<int>(i) == want);
    if (!differs) return;
    w->selectionModel()->clearSelection();
    if (want >= 0) ApplyToWidgetState(w, want, LVIS_SELECTED, LVIS_SELECTED);
}

void CReportWindow::Sync() {
    if (m_applying) return;
    WithReportLock([&] {
        m_syncPosted = false;
        m_applying = true;
        try {
            if (m_rebuild) {
                m_rebuild = false;
                m_ops.clear();
                Rebuild();
            } else {
                while (!m_ops.empty()) {
                    Apply(m_ops.front());
                    m_ops.pop_front();
                }
            }
            Resort(IDC_LIST_NETDATA);
            Resort(IDC_LIST_STREAM);
            Reconcile(IDC_LIST_NETDATA);
            Reconcile(IDC_LIST_STREAM);
            if (m_statusDirty) {
                m_statusDirty = false;
                m_status->setText(TrStatus(QString::fromStdString(m_statusText)));
                m_status->setToolTip(m_status->text());
            }
            if (m_streamsChanged) {
                m_streamsChanged = false;
                DumpStreams();
            }
        } catch (...) {
            m_applying = false;
            throw;
        }
        m_applying = false;
    });
}

void CReportWindow::DeleteRow(int id, int row) {
    std::vector<Row>* m = Mirror(id);
    if (m == nullptr || row < 0 || row >= static_cast<int>(m->size())) return;
    m->erase(m->begin() + row);
    // A deleted row takes its selection with it; nothing else becomes selected.
    for (Row& r : *m) r.state &= ~LVIS_SELECTED;
    Queue({Op::Delete, id, row, 0, 0, 0, std::string()});
    Queue({Op::Deselect, id, 0, 0, 0, 0, std::string()});
}

void CReportWindow::ClearRows(int id) {
    std::vector<Row>* m = Mirror(id);
    if (m == nullptr) return;
    m->clear();
    Queue({Op::Clear, id, 0, 0, 0, 0, std::string()});
}

int CReportWindow::MirrorRowOf(int id, QTreeWidgetItem* item) const {
    const std::vector<Row>* m = Mirror(id);
    const std::vector<QTreeWidgetItem*>* items = Items(id);
    if (m == nullptr || item == nullptr) return -1;
    auto at = std::find(items->begin(), items->end(), item);
    if (at == items->end()) return -1;
    const int widgetRow = static_cast<int>(at - items->begin());
    if (m_rebuild) {
        // The queue is gone; find the row by what it shows.
        for (size_t i = 0; i < m->size(); ++i) {
            const Row& r = (*m)[i];
            if (item->text(0).toStdString() == r.columns[0] &&
                item->text(1).toStdString() == r.columns[1] &&
                item->text(2).toStdString() == r.columns[2])
                return static_cast<int>(i);
        }
        return -1;
    }
    int row = widgetRow;
    for (const Op& op : m_ops) {
        if (op.list != id) continue;
        if (op.kind == Op::Insert && op.row <= row) ++row;
        if (op.kind == Op::Delete) {
            if (op.row == row) return -1;
            if (op.row < row) --row;
        }
        if (op.kind == Op::Clear) return -1;
    }
    return row < static_cast<int>(m->size()) ? row : -1;
}

int CReportWindow::UserSelected(int id, QTreeWidgetItem* item) {
    const int row = MirrorRowOf(id, item);
    std::vector<Row>* m = Mirror(id);
    if (row < 0) {
        RequestSync();  // the widget goes back to the mirror's selection
        return -1;
    }
    for (Row& r : *m) r.state &= ~LVIS_SELECTED;
    (*m)[row].state |= LVIS_SELECTED | LVIS_FOCUSED;
    // Reports queued before the click may select another row; the click comes after them.
    Queue({Op::State, id, row, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED,
           std::string()});
    return row;
}

void CReportWindow::UserDeselected(int id) {
    std::vector<Row>* m = Mirror(id);
    if (m == nullptr) return;
    for (Row& r : *m) r.state &= ~LVIS_SELECTED;
    Queue({Op::Deselect, id, 0, 0, 0, 0, std::string()});
}

int CReportWindow::FirstSelected(int id) const {
    const std::vector<Row>* m = Mirror(id);
    if (m == nullptr) return -1;
    for (size_t i = 0; i < m->size(); ++i)
        if ((*m)[i].state & LVIS_SELECTED) return static_cast<int>(i);
    return -1;
}

std::string CReportWindow::Cell(int id, int row, int column) const {
    const std::vector<Row>* m = Mirror(id);
    if (m == nullptr || row < 0 || row >= static_cast<int>(m->size()) || column < 0 || column > 2)
        return std::string();
    return (*m)[row].columns[column];
}

int CReportWindow::SortColumn(int id) const {
    return id == IDC_LIST_NETDATA ? m_sortColumn[0] : id == IDC_LIST_STREAM ? m_sortColumn[1] : -1;
}

void CReportWindow::Resort(int id) {
    const int k = id == IDC_LIST_NETDATA ? 0 : 1;
    if (m_sortColumn[k] >= 0) Widget(id)->sortItems(m_sortColumn[k], m_sortOrder[k]);
}

void CReportWindow::SortBy(int id, int column, Qt::SortOrder order) {
    if (id != IDC_LIST_NETDATA && id != IDC_LIST_STREAM) return;
    Sync();
    const int k = id == IDC_LIST_NETDATA ? 0 : 1;
    QTreeWidget* w = Widget(id);
    m_sortColumn[k] = column;
    m_sortOrder[k] = order;
    w->header()->setSortIndicatorShown(column >= 0);
    if (column >= 0) {
        w->sortItems(column, order);
        return;
    }
    // Back to report order: the items again in the order of the rows underneath.
    m_applying = true;
    w->invisibleRootItem()->takeChildren();
    QList<QTreeWidgetItem*> ordered;
    for (QTreeWidgetItem* item : *Items(id)) ordered.append(item);
    w->addTopLevelItems(ordered);
    WithReportLock([&] { Reconcile(id); });
    m_applying = false;
}

std::vector<CReportWindow::Row> CReportWindow::Rows(int id) {
    std::vector<Row> copy;
    WithReportLock([&] {
        if (std::vector<Row>* m = Mirror(id)) copy = *m;
    });
    return copy;
}

void CReportWindow::DumpStreams() {
    if (m_dumpPath.empty()) return;
    const std::string temp = m_dumpPath + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "we");
    if (f == nullptr) return;
    for (const Row& r : m_streamRows)
        std::fprintf(f, "%s\t%s\t%s\n", r.columns[0].c_str(), r.columns[1].c_str(),
                     r.columns[2].c_str());
    std::fclose(f);
    std::rename(temp.c_str(), m_dumpPath.c_str());
}
