#pragma once

#include <QElapsedTimer>
#include <QTreeWidget>
#include <cstdint>
#include <map>
#include <string>

class QTimer;

// The recordings of this run: one row per file being written (its address, size, duration and
// whether it still grows), and one per 只录 request that has nothing written yet. Sizes are read
// from the files by a timer on the GUI thread; the capture threads are never asked.
class CRecordingsView : public QTreeWidget {
    Q_OBJECT
  public:
    enum Column { kStarted, kAddress, kFile, kSize, kDuration, kState };
    // A file that has not grown for this long has ended.
    static const int kQuietMs = 10000;

    explicit CRecordingsView(QWidget* parent = nullptr);

    // An MP4 copy made by the transcoder; the FLV recordings are found by themselves.
    void AddTranscoding(const std::string& address, const std::string& path);
    // While nothing is captured, no FLV recording grows.
    void SetCapturing(bool capturing);
    // Reads the list of recordings and the files' sizes; the timer calls it every second.
    void Poll();
    // The row of a file or of a request (by address when waiting), or null.
    QTreeWidgetItem* RowOfFile(const std::string& path) const;
    QTreeWidgetItem* RowWaitingFor(const std::string& address) const;

  Q_SIGNALS:
    void OpenRequested(const QString& path);

  private:
    struct File {
        QTreeWidgetItem* item = nullptr;
        bool flv = true;
        int64_t size = -1;
        int64_t parsed = 13;  // the next FLV tag header (after the file header and first size)
        int64_t firstMs = -1, lastMs = -1;
        QElapsedTimer sinceGrowth;
        QElapsedTimer sinceStart;
        bool ended = false;
    };
    void Update(const std::string& path, File& file);
    void ReadTimestamps(const std::string& path, File& file);
    QTreeWidgetItem* NewRow(const std::string& address, const std::string& path);

    std::map<std::string, File> m_files;                // by path
    std::map<std::string, QTreeWidgetItem*> m_waiting;  // by address
    bool m_capturing = false;
    QTimer* m_timer;
};
