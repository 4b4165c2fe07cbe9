#include "app/RecordingsView.h"

#include <sys/stat.h>

#include <QFileInfo>
#include <QHeaderView>
#include <QTime>
#include <QTimer>
#include <cstdio>

#include "app/Language.h"
#include "app/MyListCtrl.h"
#include "decoder/FlvWriter.h"

namespace {

QString SizeText(int64_t bytes) {
    if (bytes < 0) return QString();
    if (bytes < 1024) return QString("%1 B").arg(bytes);
    if (bytes < 1024 * 1024) return QString("%1 KB").arg(bytes / 1024.0, 0, 'f', 1);
    return QString("%1 MB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

QString DurationText(int64_t ms) {
    if (ms < 0) return QString();
    const int64_t s = ms / 1000;
    return QString("%1:%2:%3")
        .arg(s / 3600, 2, 10, QChar('0'))
        .arg(s / 60 % 60, 2, 10, QChar('0'))
        .arg(s % 60, 2, 10, QChar('0'));
}

}  // namespace

CRecordingsView::CRecordingsView(QWidget* parent) : QTreeWidget(parent), m_timer(new QTimer(this)) {
    SetupReportList(this);
    setHeaderLabels({Tr("开始时间"), Tr("地址"), Tr("文件"), Tr("大小"), Tr("时长"), Tr("状态")});
    setColumnWidth(kStarted, 60);
    setColumnWidth(kAddress, 130);
    setColumnWidth(kFile, 90);
    setColumnWidth(kSize, 55);
    setColumnWidth(kDuration, 55);
    setColumnWidth(kState, 60);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        const QString path = item->data(kFile, Qt::UserRole).toString();
        if (!path.isEmpty()) Q_EMIT OpenRequested(path);
    });
    connect(header(), &QHeaderView::sectionClicked, this, [this](int column) {
        const bool again = header()->isSortIndicatorShown() && sortColumn() == column &&
                           header()->sortIndicatorOrder() == Qt::AscendingOrder;
        header()->setSortIndicatorShown(true);
        sortItems(column, again ? Qt::DescendingOrder : Qt::AscendingOrder);
    });
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &CRecordingsView::Poll);
    m_timer->start();
}

QTreeWidgetItem* CRecordingsView::NewRow(const std::string& address, const std::string& path) {
    QTreeWidgetItem* item = new CReportItem();
    item->setText(kStarted, QTime::currentTime().toString("HH:mm:ss"));
    item->setText(kAddress, QString::fromStdString(address));
    item->setToolTip(kAddress, item->text(kAddress));
    if (!path.empty()) {
        item->setText(kFile, QFileInfo(QString::fromStdString(path)).fileName());
        item->setData(kFile, Qt::UserRole, QString::fromStdString(path));
        item->setToolTip(kFile, QString::fromStdString(path));
    }
    addTopLevelItem(item);
    return item;
}

void CRecordingsView::AddTranscoding(const std::string& address, const std::string& path) {
    File& file = m_files[path];
    if (file.item != nullptr) return;
    file.item = NewRow(address, path);
    file.flv = false;
    file.sinceStart.start();
    file.sinceGrowth.start();
    file.item->setText(kState, Tr("等待视频流…"));
}

void CRecordingsView::SetCapturing(bool capturing) {
    m_capturing = capturing;
    Poll();
}

QTreeWidgetItem* CRecordingsView::RowOfFile(const std::string& path) const {
    auto it = m_files.find(path);
    return it == m_files.end() ? nullptr : it->second.item;
}

QTreeWidgetItem* CRecordingsView::RowWaitingFor(const std::string& address) const {
    auto it = m_waiting.find(address);
    return it == m_waiting.end() ? nullptr : it->second;
}

void CRecordingsView::ReadTimestamps(const std::string& path, File& file) {
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (f == nullptr) return;
    // Only whole tag headers are read; a tag still being written is read at the next poll.
    while (file.parsed + 11 <= file.size) {
        unsigned char h[11];
        if (std::fseek(f, static_cast<long>(file.parsed), SEEK_SET) != 0 ||
            std::fread(h, 1, sizeof(h), f) != sizeof(h))
            break;
        const int64_t dataSize = (int64_t(h[1]) << 16) | (int64_t(h[2]) << 8) | h[3];
        const int64_t ms =
            (int64_t(h[7]) << 24) | (int64_t(h[4]) << 16) | (int64_t(h[5]) << 8) | h[6];
        if (file.firstMs < 0) file.firstMs = ms;
        if (ms > file.lastMs) file.lastMs = ms;
        file.parsed += 11 + dataSize + 4;
    }
    std::fclose(f);
}

void CRecordingsView::Update(const std::string& path, File& file) {
    struct stat st {};
    const int64_t size = stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    if (size != file.size) {
        file.size = size;
        file.sinceGrowth.start();
        file.ended = false;
        if (file.flv) ReadTimestamps(path, file);
    }
    const bool quiet = file.sinceGrowth.elapsed() > kQuietMs;
    if (file.flv) {
        file.ended = !m_capturing || quiet;
    } else if (size > 0 && quiet) {
        file.ended = true;
    }
    int64_t duration = -1;
    if (file.flv && file.firstMs >= 0)
        duration = file.lastMs - file.firstMs;
    else if (!file.flv && size > 0)
        duration = file.sinceStart.elapsed() - (file.ended ? file.sinceGrowth.elapsed() : 0);
    file.item->setText(kSize, SizeText(size));
    file.item->setData(kSize, CReportItem::kSortKey, static_cast<qlonglong>(size));
    file.item->setText(kDuration, DurationText(duration));
    file.item->setData(kDuration, CReportItem::kSortKey, static_cast<qlonglong>(duration));
    const char* state = size <= 0    ? (file.ended ? "无数据" : "等待视频流…")
                        : file.ended ? "已结束"
                                     : "正在录制";
    file.item->setText(kState, Tr(state));
}

void CRecordingsView::Poll() {
    const std::vector<RecordingFile> files = RecordingFiles();
    for (const RecordingFile& r : files) {
        File& file = m_files[r.path];
        if (file.item == nullptr) {
            // A request's waiting row becomes its first file's row.
            auto waiting = m_waiting.find(r.address);
            if (waiting != m_waiting.end()) {
                file.item = waiting->second;
                file.item->setText(kFile, QFileInfo(QString::fromStdString(r.path)).fileName());
                file.item->setData(kFile, Qt::UserRole, QString::fromStdString(r.path));
                file.item->setToolTip(kFile, QString::fromStdString(r.path));
                m_waiting.erase(waiting);
            } else {
                file.item = NewRow(r.address, r.path);
            }
            file.sinceStart.start();
            file.sinceGrowth.start();
        }
    }
    for (const std::string& request : RecordingRequests()) {
        const std::string address = RequestedAddress(request);
        if (address.empty() || m_waiting.count(address) != 0) continue;
        bool written = false;
        for (const auto& f : m_files)
            if (f.second.flv && f.second.item->text(kAddress).toStdString() == address)
                written = true;
        if (written) continue;
        QTreeWidgetItem* item = NewRow(address, std::string());
        item->setText(kState, Tr("等待视频流…"));
        m_waiting[address] = item;
    }
    for (auto& f : m_files) Update(f.first, f.second);
}
