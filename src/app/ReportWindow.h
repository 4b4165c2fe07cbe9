#pragma once

#include <QObject>
#include <deque>
#include <string>
#include <vector>

#include "common/LogOut.h"

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

// What LogOut does to the main window, done without ever waiting for the GUI thread.
//
// LogOut calls this object with its report lock held, from capture threads and from the GUI
// thread. Each call updates a mirror of the two lists and the status text at once (so item
// counts, row indexes and the selection are those of the moment of the report) and queues the
// operation; the GUI thread replays the queue in report order, from its event loop, on the
// widgets. A capture thread never waits for the GUI thread, so the GUI thread may block joining
// it.
//
// The GUI's own changes (delete, clear, the user's selection) go the same way: they change the
// mirror under the report lock and queue their operation, so they fall in line with the reports
// around them. The widgets are only ever changed by Sync(), never from inside their own signals.
class CReportWindow : public QObject, public IReportWindow {
    Q_OBJECT
  public:
    struct Row {
        std::string columns[3];
        unsigned state = 0;
    };

    // Beyond this many queued operations the queue is dropped and the widgets are rebuilt from
    // the mirror instead, which bounds memory and GUI work under a flood of reports.
    static const size_t kMaxQueued = 4096;

    CReportWindow(QTreeWidget* netDataList, QTreeWidget* streamList, QLabel* status,
                  QObject* parent = nullptr);
    ~CReportWindow() override;

    // IReportWindow (report lock held).
    bool HasControl(int id) override;
    int GetItemCount(int id) override;
    void DeleteItem(int id, int row) override;
    void InsertItem(int id, int row, const std::string& text) override;
    void SetItemText(int id, int row, int column, const std::string& text) override;
    void SetItemState(int id, int row, unsigned state, unsigned mask) override;
    void SetWindowText(int id, const std::string& text) override;
    void OnReport(int flags, int number, const std::string& label,
                  const std::string& address) override;

    // GUI thread, from its event loop: applies every queued operation to the widgets.
    void Sync();
    // True while Sync changes the widgets (their signals are then not the user's).
    bool Applying() const { return m_applying; }

    // GUI thread, inside WithReportLock: the GUI's own changes, by mirror row.
    void DeleteRow(int id, int row);
    void ClearRows(int id);
    // The user selected a widget item: select its mirror row exclusively. Returns that row, or
    // -1 when the row is already gone from the mirror.
    int UserSelected(int id, QTreeWidgetItem* item);
    // The user left no row selected.
    void UserDeselected(int id);
    // The mirror row that a widget item shows, once the queue is replayed; -1 if gone.
    int MirrorRowOf(int id, QTreeWidgetItem* item) const;
    // The first selected mirror row, or -1.
    int FirstSelected(int id) const;
    // Text of a mirror cell; empty when there is none.
    std::string Cell(int id, int row, int column) const;

    // GUI thread: shows a list sorted by a column (the rows keep their report order underneath),
    // or, with column -1, in report order again.
    void SortBy(int id, int column, Qt::SortOrder order);
    int SortColumn(int id) const;

    // A copy of the mirror of a list (report lock taken).
    std::vector<Row> Rows(int id);
    // Writes the stream rows to this file whenever they change (empty: never).
    void SetDumpPath(const std::string& path) { m_dumpPath = path; }

  private:
    struct Op {
        enum Kind { Insert, Delete, Text, State, Clear, Deselect } kind;
        int list;
        int row;
        int column;
        unsigned state;
        unsigned mask;
        std::string text;
    };

    std::vector<Row>* Mirror(int id);
    const std::vector<Row>* Mirror(int id) const;
    QTreeWidget* Widget(int id) const;
    void Queue(Op op);
    void RequestSync();
    void Apply(const Op& op);
    void Rebuild();
    void Reconcile(int id);
    void ApplyToWidgetState(QTreeWidget* w, int row, unsigned state, unsigned mask);
    void DumpStreams();

    QTreeWidget* m_netData;
    QTreeWidget* m_streams;
    QLabel* m_status;

    // Guarded by the report lock.
    std::vector<Row> m_netRows;
    std::vector<Row> m_streamRows;
    std::deque<Op> m_ops;
    bool m_rebuild = false;
    bool m_syncPosted = false;
    bool m_statusDirty = false;
    bool m_streamsChanged = false;
    std::string m_statusText;

    // GUI thread only. The widget items in report order (the widget may show them sorted).
    std::vector<QTreeWidgetItem*>* Items(int id);
    const std::vector<QTreeWidgetItem*>* Items(int id) const;
    void Resort(int id);
    std::vector<QTreeWidgetItem*> m_netItems;
    std::vector<QTreeWidgetItem*> m_streamItems;
    int m_sortColumn[2] = {-1, -1};
    Qt::SortOrder m_sortOrder[2] = {Qt::AscendingOrder, Qt::AscendingOrder};
    bool m_applying = false;
    std::string m_dumpPath;
};
