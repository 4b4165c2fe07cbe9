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
// counts and row indexes are those of the moment of the report) and queues the operation; the
// GUI thread replays the queue, in report order, on its widgets. A capture thread never waits for
// the GUI thread, so the GUI thread may block joining it.
//
// The GUI thread changes the lists itself (delete, clear, the user's selection) only inside
// WithReportLock after Sync(): then the widgets equal the mirror and no report interleaves.
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

    // GUI thread: applies every queued operation to the widgets.
    void Sync();
    // True while Sync changes the widgets (their signals are then not the user's).
    bool Applying() const { return m_applying; }

    // GUI thread, inside WithReportLock, after Sync().
    void DeleteRow(int id, int row);
    void ClearRows(int id);
    // Selects one row of a list exclusively (the user's choice), in widget and mirror.
    void SelectRow(int id, int row);
    // An item Sync must report gone when it deletes it (the user's pending selection).
    void Watch(QTreeWidgetItem* item) { m_watched = item; }
    QTreeWidgetItem* Watched() const { return m_watched; }

    // A copy of the mirror of a list (report lock taken).
    std::vector<Row> Rows(int id);
    // Writes the stream rows to this file whenever they change (empty: never).
    void SetDumpPath(const std::string& path) { m_dumpPath = path; }

  private:
    struct Op {
        enum Kind { Insert, Delete, Text, State } kind;
        int list;
        int row;
        int column;
        unsigned state;
        unsigned mask;
        std::string text;
    };

    std::vector<Row>* Mirror(int id);
    QTreeWidget* Widget(int id) const;
    void Queue(Op op);
    void RequestSync();
    void Apply(const Op& op);
    void Rebuild();
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

    // GUI thread only.
    bool m_applying = false;
    QTreeWidgetItem* m_watched = nullptr;
    std::string m_dumpPath;
};
