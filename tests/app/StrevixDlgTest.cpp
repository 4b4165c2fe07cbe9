// Widget tests of the main window, run on the offscreen platform. Each test function runs in a
// process of its own (see CMakeLists.txt), with an application folder of its own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "AppTestSupport.h"
#include "app/Autostart.h"
#include "app/DialogUnits.h"
#include "app/HtmlViewEx.h"
#include "app/Language.h"
#include "app/Launch.h"
#include "app/ModifyPassword.h"
#include "app/MyListCtrl.h"
#include "app/RecordingsView.h"
#include "app/ReportWindow.h"
#include "app/Resource.h"
#include "app/StatusLabel.h"
#include "app/TrayIcon.h"
#include "decoder/FlvWriter.h"

using apptest::TestDialog;

namespace QTest {
template <>
char* toString(const std::string& s) {
    return qstrdup(s.c_str());
}
}  // namespace QTest

namespace {

const std::string kSample = std::string(STREVIX_SOURCE_DIR) + "/data/sample.pcap";
const std::string kSampleStreams = std::string(STREVIX_SOURCE_DIR) + "/tests/data/sample.streams";
const std::string kSampleSightings =
    std::string(STREVIX_SOURCE_DIR) + "/tests/data/sample.sightings";

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = testframes::ReadFile(path), line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty()) lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

void Stream(const std::string& address) {
    LogOut(LOG_STREAM, "RTMP-" + address);
}

}  // namespace

class StrevixDlgTest : public QObject {
    Q_OBJECT
    std::string home_;
    std::unique_ptr<TestDialog> dlg_;

    TestDialog& Open() {
        dlg_ = std::make_unique<TestDialog>();
        dlg_->OnInitDialog();
        dlg_->show();
        return *dlg_;
    }

  private Q_SLOTS:
    void init() { home_ = apptest::MakeAppFolder(); }
    void cleanup() {
        dlg_.reset();
        ShutdownLogging();
    }

    void controlsOfTheTemplate() {
        TestDialog& d = Open();
        QCOMPARE(d.windowTitle(), QString::fromUtf8("斯瑞维1.5.3"));
        const struct {
            int id;
            const char* text;
            int x, y, w, h;
        } buttons[] = {{IDC_PCAP_FILE, "pcap文件", 146, 9, 41, 15},
                       {IDC_START, "开始", 191, 9, 28, 15},
                       {IDC_STOP, "停止", 227, 9, 28, 15},
                       {IDC_PLAY, "播录", 264, 92, 44, 19},
                       {IDC_RECORD_ONLY, "只录", 264, 115, 44, 19},
                       {IDC_DELETE, "删除", 264, 198, 44, 19},
                       {IDC_CLEAR, "清空", 264, 221, 44, 19},
                       {IDC_FOLDER, "文件夹...", 264, 264, 44, 19},
                       {IDC_EXIT, "退出", 445, 285, 44, 14}};
        DialogUnits du(d.font());
        for (const auto& b : buttons) {
            auto* button = qobject_cast<QPushButton*>(d.Control(b.id));
            QVERIFY2(button != nullptr, b.text);
            QCOMPARE(button->text(), QString::fromUtf8(b.text));
            QCOMPARE(button->geometry(), du.Rect(b.x, b.y, b.w, b.h));
        }
        QVERIFY(!d.Control(IDC_TEST)->isVisible());
        QVERIFY(d.Control(IDC_PCAP_FILE)->isVisible());  // shown on purpose
        QVERIFY(qobject_cast<QPushButton*>(d.Control(IDC_START))->isDefault());
        QCOMPARE(d.size(), QSize(du.X(491), du.Y(301)));
        // The columns of the three lists.
        const struct {
            int id;
            const char* titles[3];
            int widths[3];
        } lists[] = {{IDC_LIST_DEVICES, {"IP地址", "设备描述", "设备名称"}, {115, 150, 147}},
                     {IDC_LIST_NETDATA, {"序号", "协议", "地址"}, {60, 60, 248}},
                     {IDC_LIST_STREAM, {"序号", "地址", "视频流"}, {60, 255, 107}}};
        for (const auto& l : lists) {
            QTreeWidget* list = d.List(l.id);
            QCOMPARE(list->columnCount(), 3);
            QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
            for (int c = 0; c < 3; ++c) {
                QCOMPARE(list->headerItem()->text(c), QString::fromUtf8(l.titles[c]));
                QCOMPARE(list->columnWidth(c), l.widths[c]);
            }
        }
        QVERIFY(qobject_cast<CMyListCtrl*>(d.List(IDC_LIST_STREAM)) != nullptr);
        // The commands without a control of their own are offered by the menu button.
        auto* more = qobject_cast<QToolButton*>(d.Control(IDC_MORE));
        QVERIFY(more != nullptr && more->menu() != nullptr);
        QList<int> ids;
        for (QAction* a : more->menu()->actions())
            if (!a->isSeparator()) ids << a->data().toInt();
        QCOMPARE(ids,
                 (QList<int>{IDC_RECORD_MP4, IDC_TLS_KEYLOG, IDC_MODIFY_PASSWORD, IDM_ABOUTBOX}));
        QCOMPARE(more->menu()->actions().last()->text(), QString::fromUtf8("关于 Strevix(&A)..."));
    }

    // Larger than the template: the lists take the room, buttons keep their size and corner,
    // column widths stay; the status line counts the rows that are there.
    void resizedWindowAndCounts() {
        TestDialog& d = Open();
        const QSize minimum = d.size();
        QCOMPARE(d.minimumSize(), minimum);
        const QSize list = d.Control(IDC_LIST_STREAM)->size();
        const QSize button = d.Control(IDC_PLAY)->size();
        const int gap = minimum.width() - d.Control(IDC_EXIT)->geometry().right();
        d.resize(minimum + QSize(400, 300));
        QCoreApplication::processEvents();
        QVERIFY(d.Control(IDC_LIST_STREAM)->width() > list.width() + 200);
        QVERIFY(d.Control(IDC_LIST_STREAM)->height() > list.height() + 150);
        QCOMPARE(d.Control(IDC_PLAY)->size(), button);
        QCOMPARE(d.width() - d.Control(IDC_EXIT)->geometry().right(), gap);
        QCOMPARE(d.List(IDC_LIST_STREAM)->columnWidth(1), 255);
        d.List(IDC_LIST_STREAM)->setColumnWidth(1, 300);
        Stream("rtmp://h/live/a");
        Stream("rtmp://h/live/b");
        d.OnCommand(IDC_CLEAR);
        Stream("rtmp://h/live/c");
        QCOMPARE(d.List(IDC_LIST_STREAM)->columnWidth(1), 300);
        QVERIFY2(d.Status().contains(QString::fromUtf8("视频流数:3")), qPrintable(d.Status()));
    }

    void interfaceListRows() {
        TestDialog& d = Open();
        // The loopback interface is listed with its address in three-character fields.
        QTreeWidget* list = d.List(IDC_LIST_DEVICES);
        int lo = -1;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(2) == "lo") lo = i;
        QVERIFY(lo >= 0);
        QCOMPARE(list->topLevelItem(lo)->text(0), QString("127.  0.  0.  1"));
        QCOMPARE(list->topLevelItem(lo)->text(1), QString("Loopback adapter"));
        bool logged = false;
        for (const std::string& line : apptest::LogLines(home_))
            if (line.find("---Net DEVICE: ") != std::string::npos &&
                line.find(" - Loopback adapter lo") != std::string::npos)
                logged = true;
        QVERIFY(logged);
    }

    void buttonStatesAndStatusTexts() {
        TestDialog& d = Open();
        QCOMPARE(d.Status(),
                 QString::fromUtf8("状态：程序准备就绪  网络包数：0  视频流数:0  异常："));
        QVERIFY(d.Enabled(IDC_START) && !d.Enabled(IDC_STOP) && d.Enabled(IDC_PCAP_FILE));

        // Start without the analyser kind creates nothing, but the window goes to capturing.
        d.m_runAs = 1;
        d.OnCommand(IDC_START);
        QVERIFY(!d.Enabled(IDC_START) && d.Enabled(IDC_STOP) && !d.Enabled(IDC_PCAP_FILE));
        QVERIFY(d.m_session.Running() == 0);
        QVERIFY(d.Status().startsWith(QString::fromUtf8("状态：正在分析网络数据（共0个接口）...")));
        // A disabled button's command does nothing.
        d.OnCommand(IDC_START);
        d.OnCommand(IDC_STOP);
        QVERIFY(d.Enabled(IDC_START) && !d.Enabled(IDC_STOP) && d.Enabled(IDC_PCAP_FILE));
        QCOMPARE(d.Status(), QString::fromUtf8("状态：停止采集  网络包数：0  视频流数:0  异常："));

        // A capture file that is cancelled changes nothing.
        d.m_runAs = 2;
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.Enabled(IDC_START) && !d.Enabled(IDC_STOP));
        d.captureFile = kSample;
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(!d.Enabled(IDC_START) && d.Enabled(IDC_STOP) && !d.Enabled(IDC_PCAP_FILE));
        QCOMPARE(int(d.m_session.Running()), 1);
        QVERIFY(d.WaitCaptures());
        d.OnCommand(IDC_STOP);
        QVERIFY(d.m_session.Running() == 0);
        QVERIFY(d.Enabled(IDC_START) && !d.Enabled(IDC_STOP) && d.Enabled(IDC_PCAP_FILE));

        // A file that cannot be opened, or that is no capture, leaves the window idle and says
        // why, in the status line (in the warning colour) and in a message box.
        apptest::MessageRecorder boxes;
        testframes::WriteFile(home_ + "/notes.pcap", "just some text, no capture here\n");
        for (const char* name : {"missing.pcap", "notes.pcap"}) {
            d.captureFile = home_ + "/" + name;
            d.OnCommand(IDC_PCAP_FILE);
            QVERIFY(d.Enabled(IDC_START) && !d.Enabled(IDC_STOP) && d.Enabled(IDC_PCAP_FILE));
            QVERIFY(d.m_session.Running() == 0);
            const QString status = d.Status();
            QVERIFY2(status.startsWith(QString::fromUtf8("状态：无法打开PCap文件<%1>：").arg(name)),
                     qPrintable(status));
            QVERIFY(!status.endsWith(QString::fromUtf8("异常：")));
            QVERIFY(static_cast<CStatusLabel*>(d.Control(IDC_STATIC_STATUS))->Warning());
            QCOMPARE(int(boxes.boxes.size()), 1);
            QVERIFY(boxes.boxes[0].first.find(name) != std::string::npos);
            boxes.boxes.clear();
        }
        // The next start clears the exception text and the warning.
        d.m_runAs = 1;
        d.OnCommand(IDC_START);
        QVERIFY(d.Status().endsWith(QString::fromUtf8("异常：")));
        QVERIFY(!static_cast<CStatusLabel*>(d.Control(IDC_STATIC_STATUS))->Warning());
    }

    // A device that cannot be opened: idle buttons and tray, the reason in the status line and
    // a box; missing capture rights come with the setcap line. A file that ends goes idle.
    void failedStartAndFinishedFile() {
        CTrayIcon::s_trayAvailable = [] { return true; };
        TestDialog& d = Open();
        apptest::MessageRecorder boxes;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(0x0a000001);
        pcap_addr_t entry{};
        entry.addr = reinterpret_cast<sockaddr*>(&address);
        char name[] = "strevix-nodev0";
        pcap_if_t device{};
        device.name = name;
        device.addresses = &entry;
        QTreeWidget* devices = d.List(IDC_LIST_DEVICES);
        devices->clear();
        QTreeWidgetItem* row = new QTreeWidgetItem();
        row->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(&device)));
        devices->addTopLevelItem(row);
        d.OnCommand(IDC_START);
        QVERIFY(d.Enabled(IDC_START) && !d.Enabled(IDC_STOP));
        QCOMPARE(d.TrayPicture(), int(IDI_IDLE));
        QVERIFY(d.m_session.Running() == 0);
        QVERIFY2(d.Status().startsWith(QString::fromUtf8("状态：无法打开strevix-nodev0：")),
                 qPrintable(d.Status()));
        QVERIFY(static_cast<CStatusLabel*>(d.Control(IDC_STATIC_STATUS))->Warning());
        QCOMPARE(d.Control(IDC_STATIC_STATUS)->toolTip(), d.Status());  // the whole line
        QCOMPARE(int(boxes.boxes.size()), 1);
        QVERIFY(boxes.boxes[0].first.find("setcap") == std::string::npos);
        devices->clear();

        const struct {
            const char* detail;
            bool rights;
        } reasons[] = {{"lo: You don't have permission to capture on that device (socket: "
                        "Operation not permitted)",
                        true},
                       {"eth9: SIOCGIFHWADDR: No such device", false},
                       {"", false}};
        for (const auto& r : reasons) {
            const std::string text =
                CStrevixDlg::OpenFailureText("lo", "can't open network device.", r.detail);
            QCOMPARE(text.find("sudo setcap cap_net_raw,cap_net_admin=eip ") != std::string::npos,
                     r.rights);
            QVERIFY(text.rfind(std::string("无法打开lo：can't open network device."), 0) == 0);
        }

        d.captureFile = kSample;
        d.OnCommand(IDC_PCAP_FILE);
        QCOMPARE(d.TrayPicture(), int(IDI_CAPTURING));
        QVERIFY(d.WaitCaptures());
        QCOMPARE(d.TrayPicture(), int(IDI_IDLE));
        QVERIFY(d.Status().startsWith(QString::fromUtf8("状态：PCap文件<sample.pcap>分析完毕")));
        QVERIFY(d.Status().endsWith(QString::fromUtf8("异常：")));  // cleared by the start
        QVERIFY(!static_cast<CStatusLabel*>(d.Control(IDC_STATIC_STATUS))->Warning());
        QCOMPARE(int(boxes.boxes.size()), 1);

        // An HTTPS capture: without a key log the status line counts its session; with the key
        // log chosen from the menu (and kept in the settings) it is read.
        const std::string tls = std::string(STREVIX_SOURCE_DIR) + "/tests/data/tls/tls13-aes128gcm";
        d.captureFile = tls + ".pcap";
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.WaitCaptures());
        QVERIFY2(d.Status().startsWith(QString::fromUtf8(
                     "状态：PCap文件<tls13-aes128gcm.pcap>分析完毕，1个TLS会话无法解密")),
                 qPrintable(d.Status()));
        d.keyLogFile = tls + ".keys";
        d.OnCommand(IDC_TLS_KEYLOG);
        QCOMPARE(d.TlsKeyLog(), d.keyLogFile);
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.WaitCaptures());
        QVERIFY2(d.Status().startsWith(
                     QString::fromUtf8("状态：PCap文件<tls13-aes128gcm.pcap>分析完毕  ")),
                 qPrintable(d.Status()));
        d.m_tlsKeyLog.clear();
        d.LoadSettings();
        QCOMPARE(d.TlsKeyLog(), d.keyLogFile);
    }

    void rowsAndNumberingAfterStopAndRestart() {
        const std::vector<std::string> found = Lines(kSampleStreams);
        const int streamsFound = int(found.size()), sightings = int(Lines(kSampleSightings).size());
        QVERIFY(streamsFound > 2 && sightings >= streamsFound);
        TestDialog& d = Open();
        d.captureFile = kSample;
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.WaitCaptures());
        QCOMPARE(d.List(IDC_LIST_STREAM)->topLevelItemCount(), streamsFound);
        QCOMPARE(d.List(IDC_LIST_NETDATA)->topLevelItemCount(), sightings);
        // Newest on top, numbered from 1; a stream row splits the address at its last '/'.
        for (int i = 0; i < streamsFound; ++i) {
            const std::string& text = found[size_t(streamsFound - 1 - i)];
            const std::string address = text.substr(text.find('-') + 1);
            const size_t slash = address.rfind('/');
            QCOMPARE(d.Cell(IDC_LIST_STREAM, i, 0), QString::number(streamsFound - i));
            QCOMPARE(d.Cell(IDC_LIST_STREAM, i, 1),
                     QString::fromStdString(address.substr(0, slash)));
            QCOMPARE(d.Cell(IDC_LIST_STREAM, i, 2),
                     QString::fromStdString(address.substr(slash + 1)));
        }
        QCOMPARE(d.Cell(IDC_LIST_NETDATA, 0, 0), QString::number(sightings));
        QCOMPARE(d.Cell(IDC_LIST_NETDATA, sightings - 1, 0), QString("1"));
        QCOMPARE(d.Cell(IDC_LIST_NETDATA, sightings - 1, 1), QString("RTSP"));
        QCOMPARE(d.Cell(IDC_LIST_NETDATA, sightings - 1, 2), QString("127.0.0.1:8554"));
        // The end of the file is announced with the counts of the rows, and the window is idle.
        const QString format = QString::fromUtf8(
            "状态：PCap文件<sample.pcap>分析完毕  网络包数：%1  视频流数:%2  异常：");
        QCOMPARE(d.Status(), format.arg(sightings).arg(streamsFound));
        QVERIFY(d.Enabled(IDC_START) && !d.Enabled(IDC_STOP) && d.Enabled(IDC_PCAP_FILE));
        QVERIFY(d.m_session.Running() == 0);
        QCOMPARE(d.List(IDC_LIST_STREAM)->topLevelItemCount(), streamsFound);  // the rows stay

        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.WaitCaptures());
        QCOMPARE(d.List(IDC_LIST_STREAM)->topLevelItemCount(), 2 * streamsFound);
        QCOMPARE(d.List(IDC_LIST_NETDATA)->topLevelItemCount(), 2 * sightings);
        for (int run = 0; run < 2; ++run) {
            QCOMPARE(d.Cell(IDC_LIST_STREAM, run * streamsFound, 0), QString::number(streamsFound));
            QCOMPARE(d.Cell(IDC_LIST_STREAM, run * streamsFound + streamsFound - 1, 0),
                     QString("1"));
            QCOMPARE(d.Cell(IDC_LIST_NETDATA, run * sightings, 0), QString::number(sightings));
        }
        // The first stream found is still the selected one.
        QCOMPARE(d.SelectedStreamListRow(), 2 * streamsFound - 1);
        QCOMPARE(GetSelectedStreamRow(), 2 * streamsFound - 1);
    }

    // Record only on the sample's RTMP stream: the program writes it into an FLV file.
    void recordOnlyWritesTheRtmpStream() {
        TestDialog& d = Open();
        d.captureFile = kSample;
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.WaitCaptures());
        int rtmp = -1;
        for (int i = 0; i < d.List(IDC_LIST_STREAM)->topLevelItemCount(); ++i)
            if (d.Cell(IDC_LIST_STREAM, i, 1).startsWith("rtmp://")) rtmp = i;
        if (rtmp < 0) QSKIP("the sample holds no RTMP stream");
        d.Click(rtmp);
        d.OnCommand(IDC_RECORD_ONLY);
        QVERIFY(d.Status().startsWith(QString::fromUtf8("状态：第0次下载，可点击[文件夹]观看。")));
        d.OnCommand(IDC_STOP);
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.WaitCaptures());
        d.OnCommand(IDC_STOP);
        std::string flv;
        for (const auto& entry : std::filesystem::directory_iterator(home_ + "/Videos"))
            if (entry.path().extension() == ".flv") flv = entry.path();
        QVERIFY(!flv.empty());
        QCOMPARE(testframes::ReadFile(flv).substr(0, 3), std::string("FLV"));
        // The recordings view shows the file with its size, and that it has ended.
        d.Recordings()->Poll();
        QTreeWidgetItem* row = d.Recordings()->RowOfFile(flv);
        QVERIFY(row != nullptr);
        QCOMPARE(row->text(CRecordingsView::kSize).isEmpty(), false);
        QCOMPARE(row->text(CRecordingsView::kState), QString::fromUtf8("已结束"));
        QCOMPARE(d.PageTabs()->currentWidget(), static_cast<QWidget*>(d.Recordings()));
    }

    // A request waits for its stream; the file's row then grows in size and duration while
    // tags arrive, ends with the capture, and opens in the player.
    void recordingsViewFollowsTheFile() {
        TestDialog& d = Open();
        const std::string address = "rtmp://10.0.0.5/live/cam1";
        Stream(address);
        d.Click(0);
        d.OnCommand(IDC_RECORD_ONLY);
        CRecordingsView* view = d.Recordings();
        QTreeWidgetItem* waiting = view->RowWaitingFor(address);
        QVERIFY(waiting != nullptr);
        QCOMPARE(waiting->text(CRecordingsView::kState), QString::fromUtf8("等待视频流…"));
        view->SetCapturing(true);
        auto tag = [&](unsigned ms, int payload) {
            std::vector<unsigned char> t(size_t(11 + payload), 0x55);
            t[0] = 9;
            t[1] = 0;
            t[2] = static_cast<unsigned char>(payload >> 8);
            t[3] = static_cast<unsigned char>(payload);
            t[4] = static_cast<unsigned char>(ms >> 16);
            t[5] = static_cast<unsigned char>(ms >> 8);
            t[6] = static_cast<unsigned char>(ms);
            t[7] = 0;
            t[8] = t[9] = t[10] = 0;
            t[11] = 0x17;  // key frame, AVC
            OnRtmpTag(t.data(), int(t.size()), "10.0.0.7", 50000, "10.0.0.5", 1935,
                      address.c_str());
        };
        const struct {
            unsigned ms;
            const char* duration;
        } steps[] = {{0, "00:00:00"}, {1500, "00:00:01"}, {62000, "00:01:02"}};
        long long lastSize = 0;
        QTreeWidgetItem* row = nullptr;
        for (const auto& step : steps) {
            tag(step.ms, 400);
            view->Poll();
            QVERIFY(view->RowWaitingFor(address) == nullptr);
            const std::vector<RecordingFile> files = RecordingFiles();
            QCOMPARE(int(files.size()), 1);
            row = view->RowOfFile(files[0].path);
            QCOMPARE(row, waiting);  // the waiting row became the file's
            const long long size = (long long)std::filesystem::file_size(files[0].path);
            QVERIFY(size > lastSize);
            lastSize = size;
            QCOMPARE(row->text(CRecordingsView::kDuration), QString(step.duration));
            QCOMPARE(row->text(CRecordingsView::kState), QString::fromUtf8("正在录制"));
            QCOMPARE(row->text(CRecordingsView::kAddress), QString::fromStdString(address));
        }
        view->SetCapturing(false);
        QCOMPARE(row->text(CRecordingsView::kState), QString::fromUtf8("已结束"));
        Q_EMIT view->itemDoubleClicked(row, 0);
        QCOMPARE(int(d.launches.size()), 1);
        QCOMPARE(d.launches[0].program, home_ + "/player/ffplayer");
        QCOMPARE(d.launches[0].args[1], RecordingFiles()[0].path);
    }

    void selectionRulesOfDeleteClearAndNewRows() {
        TestDialog& d = Open();
        apptest::MessageRecorder boxes;
        d.OnCommand(IDC_DELETE);  // nothing selected
        QCOMPARE(int(boxes.boxes.size()), 1);
        QCOMPARE(boxes.boxes[0].first, std::string("请选择一条数据！"));
        QCOMPARE(boxes.boxes[0].second, std::string("提示"));

        // The first stream is selected and the selection stays on it as rows come in above.
        Stream("rtmp://h/live/a");
        QCOMPARE(d.SelectedStreamListRow(), 0);
        Stream("rtmp://h/live/b");
        Stream("rtmp://h/live/c");
        QCOMPARE(d.SelectedStreamListRow(), 2);
        QCOMPARE(GetSelectedStreamRow(), 2);
        QCOMPARE(d.Cell(IDC_LIST_STREAM, 2, 2), QString("a"));

        // The user's choice is remembered and followed.
        d.Click(1);
        QCOMPARE(GetSelectedStreamRow(), 1);
        Stream("rtmp://h/live/d");
        QCOMPARE(d.SelectedStreamListRow(), 2);
        QCOMPARE(d.Cell(IDC_LIST_STREAM, 2, 2), QString("b"));

        // Delete takes the row and remembers the row above it.
        d.OnCommand(IDC_DELETE);
        QCOMPARE(d.List(IDC_LIST_STREAM)->topLevelItemCount(), 3);
        QCOMPARE(GetSelectedStreamRow(), 1);
        QCOMPARE(d.SelectedStreamListRow(), -1);
        Stream("rtmp://h/live/e");  // selects remembered + 1
        QCOMPARE(d.SelectedStreamListRow(), 2);
        QCOMPARE(d.Cell(IDC_LIST_STREAM, 2, 2), QString("c"));

        // Delete on row 0 forgets the selection: the next stream's row becomes selected.
        d.Click(0);
        d.OnCommand(IDC_DELETE);
        QCOMPARE(GetSelectedStreamRow(), -1);
        Stream("rtmp://h/live/f");
        QCOMPARE(d.SelectedStreamListRow(), 0);
        QCOMPARE(d.Cell(IDC_LIST_STREAM, 0, 2), QString("f"));

        // Clear empties the list, keeps the numbering, and the next stream is selected.
        d.OnCommand(IDC_CLEAR);
        QCOMPARE(d.List(IDC_LIST_STREAM)->topLevelItemCount(), 0);
        QCOMPARE(GetSelectedStreamRow(), -1);
        Stream("rtmp://h/live/g");
        QCOMPARE(d.SelectedStreamListRow(), 0);
        QCOMPARE(d.Cell(IDC_LIST_STREAM, 0, 0), QString("7"));
    }

    void rowGuardAndPlayerArguments() {
        TestDialog& d = Open();
        apptest::MessageRecorder boxes;
        for (int id : {IDC_PLAY, IDC_RECORD_ONLY, IDC_RECORD_MP4, IDC_DELETE}) d.OnCommand(id);
        QCOMPARE(int(boxes.boxes.size()), 4);
        for (const auto& b : boxes.boxes) {
            QCOMPARE(b.first, std::string("请选择一条数据！"));
            QCOMPARE(b.second, std::string("提示"));
        }
        d.OnStreamListDblClk(0);  // no selection: nothing, no box
        QCOMPARE(int(boxes.boxes.size()), 4);
        QVERIFY(d.launches.empty());
        QCOMPARE(d.GetPlayerParameters(0), std::string());

        // An address from the network with blanks, quotes, shell characters and an option.
        const std::string hostile =
            "rtmp://10.0.0.5/live/a b\"c'$(touch /tmp/x)`id`;|&<> -o /tmp/evil";
        Stream(hostile);
        QCOMPARE(d.GetPlayerParameters(0), "--i " + hostile + " --o");
        d.OnCommand(IDC_PLAY);
        QTreeWidget* list = d.List(IDC_LIST_STREAM);
        Q_EMIT list->itemDoubleClicked(d.Item(IDC_LIST_STREAM, 0), 0);
        d.OnCommand(IDC_RECORD_MP4);
        QCOMPARE(int(d.launches.size()), 3);
        const std::vector<std::string> player{"--i", hostile, "--o"};
        QCOMPARE(d.launches[0].program, home_ + "/player/ffplayer");
        QVERIFY(d.launches[0].args == player);
        QVERIFY(d.launches[1].args == player);
        QCOMPARE(d.launches[2].program, home_ + "/player/ffmpeg/ffmpeg");
        const std::vector<std::string>& mp4 = d.launches[2].args;
        QCOMPARE(int(mp4.size()), 9);
        const std::vector<std::string> head{"-i",      hostile, "-vcodec", "copy",
                                            "-acodec", "copy",  "-f",      "mp4"};
        QVERIFY(std::vector<std::string>(mp4.begin(), mp4.begin() + 8) == head);
        QVERIFY(mp4[8].rfind(home_ + "/Videos/", 0) == 0);
        QCOMPARE(mp4[8].size(), (home_ + "/Videos/").size() + 16);  // yymmddhhmmss.mp4

        // Addresses that would be options or local files are not launched at all.
        for (const char* bad :
             {"RTMP--f mp4 -y /tmp/out", "RTMP-file:///etc/passwd/x", "RTMP-concat:/a|/b/c"}) {
            LogOut(LOG_STREAM, bad);
            d.Click(0);
            d.OnCommand(IDC_PLAY);
            d.OnCommand(IDC_RECORD_MP4);
        }
        QCOMPARE(int(d.launches.size()), 3);
        QVERIFY(d.Status().contains(QString::fromUtf8("未启动转码器")));

        d.OnCommand(IDC_FOLDER);
        QCOMPARE(d.folders, std::vector<std::string>{home_ + "/Videos"});
    }

    // Header clicks sort (numbers by value) and come back to the order of the reports; the
    // selection, Ctrl+C, Enter, Delete and the row menu work on the row the user sees.
    void sortingCopyingAndRowCommands() {
        TestDialog& d = Open();
        apptest::MessageRecorder boxes;
        for (const char* name : {"b", "d", "a", "c", "e", "f", "g", "h", "i", "j"})
            Stream(std::string("rtmp://h/live/") + name);
        QTreeWidget* list = d.List(IDC_LIST_STREAM);
        auto column = [&](int c) {
            d.SyncReports();
            QStringList cells;
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                cells << list->topLevelItem(i)->text(c);
            return cells.join(',');
        };
        const QString reportOrder = column(2);
        QCOMPARE(reportOrder, QString("j,i,h,g,f,e,c,a,d,b"));
        const struct {
            int column;
            int clicks;
            int shown;
            const char* expected;
        } cases[] = {{0, 1, 0, "1,2,3,4,5,6,7,8,9,10"},
                     {0, 2, 0, "10,9,8,7,6,5,4,3,2,1"},
                     {2, 1, 2, "a,b,c,d,e,f,g,h,i,j"},
                     {2, 2, 2, "j,i,h,g,f,e,d,c,b,a"},
                     {2, 3, 2, "j,i,h,g,f,e,c,a,d,b"}};
        for (const auto& c : cases) {
            d.ReportWindow()->SortBy(IDC_LIST_STREAM, -1, Qt::AscendingOrder);
            for (int i = 0; i < c.clicks; ++i) d.OnHeaderClicked(list, c.column);
            QCOMPARE(column(c.shown), QString(c.expected));
        }
        // A cell with a sort value sorts by it: sizes by their bytes, not by their text.
        QTreeWidget sizes;
        sizes.setColumnCount(1);
        for (const auto& size : {std::make_pair("10.1 KB", 10342), std::make_pair("900 B", 900),
                                 std::make_pair("2.0 MB", 2097152)}) {
            QTreeWidgetItem* item = new CReportItem();
            item->setText(0, size.first);
            item->setData(0, CReportItem::kSortKey, size.second);
            sizes.addTopLevelItem(item);
        }
        sizes.sortItems(0, Qt::AscendingOrder);
        QCOMPARE(sizes.topLevelItem(0)->text(0) + "," + sizes.topLevelItem(2)->text(0),
                 QString("900 B,2.0 MB"));
        // Sorted by name, a new report takes its sorted place; the selection is the row shown.
        d.OnHeaderClicked(list, 2);
        Stream("rtmp://h/live/bb");
        QCOMPARE(column(2), QString("a,b,bb,c,d,e,f,g,h,i,j"));
        list->setCurrentItem(list->topLevelItem(2));
        QCOMPARE(d.StreamAddress(d.SelectedStreamListRow()), std::string("rtmp://h/live/bb"));
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("rtmp://h/live/bb"));
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(int(d.launches.size()), 1);
        QCOMPARE(d.launches[0].args[1], std::string("rtmp://h/live/bb"));

        // The row menu: copy, play, record only, MP4, folder.
        QGuiApplication::clipboard()->clear();
        list->setCurrentItem(list->topLevelItem(0));
        QMenu* menu = d.RowMenu();
        for (QAction* a : menu->actions()) a->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("rtmp://h/live/a"));
        QCOMPARE(int(d.launches.size()), 3);
        QCOMPARE(d.launches[1].args[1], std::string("rtmp://h/live/a"));
        QCOMPARE(d.launches[2].args[1], std::string("rtmp://h/live/a"));
        QCOMPARE(RecordingRequestCount(), size_t(1));
        QCOMPARE(int(d.folders.size()), 1);
        QVERIFY(boxes.boxes.empty());

        // Delete takes the selected row away, in sorted and in report order alike.
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(column(2), QString("b,bb,c,d,e,f,g,h,i,j"));
        d.OnHeaderClicked(list, 2);
        d.OnHeaderClicked(list, 2);
        QCOMPARE(column(2), QString("bb,j,i,h,g,f,e,c,d,b"));
        QVERIFY(boxes.boxes.empty());
        // A cut-off cell shows its whole text as a tooltip; a cell that fits shows none.
        Stream("rtmp://h/live/" + std::string(200, 'x'));
        QTreeWidget* tips = d.List(IDC_LIST_STREAM);
        for (int c : {0, 2}) {
            QTreeWidgetItem* item = nullptr;
            for (int i = 0; i < tips->topLevelItemCount(); ++i)
                if (tips->topLevelItem(i)->text(2).size() == 200) item = tips->topLevelItem(i);
            QVERIFY(item != nullptr);
            const QRect cell = tips->visualRect(tips->indexFromItem(item, c));
            QHelpEvent help(QEvent::ToolTip, cell.center(),
                            tips->viewport()->mapToGlobal(cell.center()));
            QApplication::sendEvent(tips->viewport(), &help);
            QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(),
                     c == 2 ? QString(200, 'x') : QString());
            QToolTip::hideText();
        }
        // The network-data list copies its address column.
        QTreeWidget* net = d.List(IDC_LIST_NETDATA);
        LogOut(LOG_NETDATA, "HTTP-http://10.0.0.9:8080/live/s.m3u8");
        net = d.List(IDC_LIST_NETDATA);
        net->setCurrentItem(net->topLevelItem(0));
        QCOMPARE(d.SelectedAddresses(net), net->topLevelItem(0)->text(2));
    }

    // The player's and the transcoder's output goes to log/, each into its own file; the
    // language follows STREVIX_LANG, then the locale.
    void childOutputAndLanguage() {
        TestDialog& d = Open();
        QVERIFY(d.RealLaunch("/bin/sh", {"-c", "echo to-out; echo to-err >&2"}) > 0);
        QTRY_VERIFY(testframes::ReadFile(home_ + "/log/player.log") == "to-out\nto-err\n");
        const struct {
            const char* forced;
            const char* locale;
            const char* language;
        } cases[] = {{nullptr, "zh_CN", "zh"}, {nullptr, "zh_TW", "zh"}, {nullptr, "en_US", "en"},
                     {nullptr, "C", "en"},     {"en", "zh_CN", "en"},    {"zh", "de_DE", "zh"},
                     {"fr", "zh_CN", "zh"},    {"", "fr_FR", "en"}};
        for (const auto& c : cases)
            QCOMPARE(ChooseLanguage(c.forced, c.locale), QString(c.language));
        // Qt's own texts in Chinese come from Debian's translations.
        QVERIFY(InstallTranslations(QCoreApplication::instance(), "zh"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"),
                 QString::fromUtf8("取消"));
    }

    // STREVIX_LANG=en: the window in English, the status line's texts with their numbers.
    void englishInterface() {
        QVERIFY(InstallTranslations(QCoreApplication::instance(), "en"));
        TestDialog& d = Open();
        QCOMPARE(d.windowTitle(), QString("Strevix 1.5.3"));
        const struct {
            int id;
            const char* text;
        } buttons[] = {{IDC_START, "Start"},
                       {IDC_STOP, "Stop"},
                       {IDC_PLAY, "Play"},
                       {IDC_RECORD_ONLY, "Record"},
                       {IDC_EXIT, "Exit"}};
        for (const auto& b : buttons)
            QCOMPARE(qobject_cast<QPushButton*>(d.Control(b.id))->text(), QString(b.text));
        QCOMPARE(d.List(IDC_LIST_STREAM)->headerItem()->text(1), QString("Address"));
        QVERIFY(d.m_htmlView->toPlainText().contains("How to use it"));
        QCOMPARE(d.Status(), QString("Status: Ready  Sightings: 0  Streams: 0  Error: "));
        QCOMPARE(
            TrStatus(QString::fromUtf8("状态：正在分析网络数据（共2个接口），内核已丢弃17个包  "
                                       "网络包数：3  视频流数:1  异常：")),
            QString("Status: Analysing network traffic (2 interfaces), 17 packets dropped by "
                    "the kernel  Sightings: 3  Streams: 1  Error: "));
        d.m_runAs = 0;
        d.OnCommand(IDC_START);
        QCOMPARE(d.Status(), QString("Status: Analysing network traffic (0 interfaces)...  "
                                     "Sightings: 0  Streams: 0  Error: "));
        QCOMPARE(TrStatus(QString::fromUtf8("状态：正在分析PCap文件<a%2b.pcap>  网络包数：3  "
                                            "视频流数:1  异常：x")),
                 QString("Status: Analysing capture file <a%2b.pcap>  Sightings: 3  Streams: 1  "
                         "Error: x"));
        // The log keeps the program's own texts.
        bool logged = false;
        for (const std::string& line : apptest::LogLines(home_))
            if (line.find("Strevix started.") != std::string::npos) logged = true;
        QVERIFY(logged);
    }

    void recordOnlyStatusTexts() {
        TestDialog& d = Open();
        Stream("rtmp://10.0.0.5/live/cam1");
        d.OnCommand(IDC_RECORD_ONLY);
        QVERIFY(
            d.Status().startsWith(QString::fromUtf8("状态：第0次下载，可点击[文件夹]观看。  ")));
        d.OnCommand(IDC_RECORD_ONLY);
        QVERIFY(
            d.Status().startsWith(QString::fromUtf8("状态：第1次下载，可点击[文件夹]观看。  ")));
        QCOMPARE(RecordingRequestCount(), size_t(2));
    }

    void changePasswordMessages() {
        struct Fake : CModifyPassword {
            int code = 0;
            std::vector<std::string> calls;
            int ChangePassword(const std::string& user, const std::string& o,
                               const std::string& n) override {
                calls.push_back(user + "|" + o + "|" + n);
                return code;
            }
        } dialog;
        apptest::MessageRecorder boxes;
        dialog.m_userTypeCombo->setCurrentIndex(-1);
        dialog.OnOK();
        dialog.m_userTypeCombo->setCurrentIndex(1);
        dialog.m_newEdit->setText("Secret");
        dialog.m_confirmEdit->setText("secret");
        dialog.OnOK();
        dialog.m_confirmEdit->setText("Secret");
        dialog.m_oldEdit->setText("guest");
        dialog.code = -1;
        dialog.OnOK();
        QCOMPARE(int(boxes.boxes.size()), 3);
        QCOMPARE(boxes.boxes[0].first, std::string("请选择用户类型"));
        QCOMPARE(boxes.boxes[1].first, std::string("两次输入的新密码不一致\r\n请重新输入！\r\n"));
        QCOMPARE(boxes.boxes[2].first, std::string("原密码不正确\r\n请重新输入！\r\n"));
        QCOMPARE(boxes.boxes[2].second, std::string("Strevix"));
        QCOMPARE(dialog.calls, std::vector<std::string>{"Guest|guest|Secret"});
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        // Any other result closes the dialog as a success.
        dialog.code = -2;
        dialog.OnOK();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(int(boxes.boxes.size()), 3);

        // The real database: a wrong old password, then the right one.
        CModifyPassword real;
        real.m_userTypeCombo->setCurrentIndex(0);
        real.m_oldEdit->setText("ADMIN");
        real.m_newEdit->setText("n\"ew;");
        real.m_confirmEdit->setText("n\"ew;");
        real.OnOK();
        QCOMPARE(int(boxes.boxes.size()), 4);
        real.m_oldEdit->setText("admin");
        real.OnOK();
        QCOMPARE(int(boxes.boxes.size()), 4);
        QCOMPARE(real.result(), int(QDialog::Accepted));
        QCOMPARE(CSqliteDataBase::GetInstance()->ModifyPassWord("Admin", "n\"ew;", "admin"), 0);
    }

    void settingsReadings() {
        apptest::ExecSql(home_,
                         "DELETE FROM SysSeting;"
                         "INSERT INTO SysSeting (ParamName, ParamValue) VALUES"
                         " ('AutoRun', ' 1'), ('autocapturenetdata', '1'),"
                         " ('RunAs', '2abc'), ('UploadTimer', '-7'), ('AppTitle', NULL);");
        TestDialog& d = Open();
        QCOMPARE(d.m_autoRun, 0);
        QCOMPARE(d.m_autoCapture, 0);  // the name differs in case
        QCOMPARE(d.m_runAs, 2);
        QCOMPARE(d.m_uploadTimer, -7);
        QCOMPARE(d.m_appTitle, std::string());
    }

    // AutoRun "1" writes the XDG autostart entry, "0" takes ours away and leaves others'.
    void autoRunKeepsTheAutostartEntry() {
        const std::string entry = home_ + "/config/autostart/strevix.desktop";
        QCOMPARE(AutostartPath(), entry);
        TestDialog& d = Open();
        const struct {
            const char* value;
            const char* before;  // null: no file
            bool present;
        } cases[] = {
            {"1", nullptr, true},
            {"1", "[Desktop Entry]\nExec=old\nX-Strevix-AutoRun=true\n", true},
            {"0", nullptr, false},
            {"0", "[Desktop Entry]\nExec=/usr/bin/strevix\nX-Strevix-AutoRun=true\n", false},
            {"0", "[Desktop Entry]\nExec=someone-elses\n", true}};
        for (const auto& c : cases) {
            std::filesystem::remove(entry);
            if (c.before != nullptr) {
                std::filesystem::create_directories(home_ + "/config/autostart");
                testframes::WriteFile(entry, c.before);
            }
            apptest::ExecSql(home_, std::string("UPDATE SysSeting SET ParamValue='") + c.value +
                                        "' WHERE ParamName='AutoRun'");
            d.LoadSettings();
            d.ApplyAutoRun();
            QCOMPARE(std::filesystem::exists(entry), c.present);
            if (c.value[0] == '1') {
                const std::string text = testframes::ReadFile(entry);
                QVERIFY(text.find("Exec=\"" +
                                  std::filesystem::read_symlink("/proc/self/exe").string() +
                                  "\"\n") != std::string::npos);
                QVERIFY(text.rfind("[Desktop Entry]\nType=Application\n", 0) == 0);
            }
        }
    }

    void autoCaptureRunsBeforeTheWindowShows() {
        apptest::ExecSql(home_,
                         "UPDATE SysSeting SET ParamValue = '1' WHERE ParamName = "
                         "'AutoCaptureNetData'; UPDATE SysSeting SET ParamValue = '1' WHERE "
                         "ParamName = 'RunAs';");
        dlg_ = std::make_unique<TestDialog>();
        dlg_->OnInitDialog();
        TestDialog& d = *dlg_;
        QVERIFY(!d.isVisible());
        QCOMPARE(d.m_autoCapture, 1);
        QCOMPARE(d.m_runAs, 1);  // no live capture in a test: no analyser kind
        QVERIFY(d.m_session.Running() == 0);
        QVERIFY(!d.Enabled(IDC_START) && d.Enabled(IDC_STOP));
        d.OnCommand(IDC_STOP);
    }

    void unreadableSettingsKeepTheDefaults() {
        apptest::ExecSql(home_, "DROP TABLE SysSeting;");
        TestDialog& d = Open();
        QVERIFY(d.isVisible());
        QCOMPARE(d.m_runAs, 2);
        QCOMPARE(d.m_autoCapture, 0);
        QCOMPARE(d.m_appTitle, std::string("瑞维【未指定采集目标】"));
        QVERIFY(d.Status().contains("SysSeting"));
        bool logged = false;
        for (const std::string& line : apptest::LogLines(home_))
            if (line.rfind("ERROR ", 0) == 0 && line.find("SysSeting") != std::string::npos)
                logged = true;
        QVERIFY(logged);
    }

    void closeEscapeAndEnter() {
        TestDialog& d = Open();
        // The offscreen desktop has no tray: the close box minimises.
        QCOMPARE(d.m_trayIcon.Shown(), 0);
        d.close();
        QVERIFY(d.isVisible() && d.isMinimized());
        QVERIFY(!d.ShutDown());
        d.showNormal();
        QTest::keyClick(&d, Qt::Key_Escape);
        QVERIFY(d.isVisible() && d.isMinimized());
        d.showNormal();
        // Enter neither starts capture nor closes.
        QTest::keyClick(d.Control(IDC_LIST_STREAM), Qt::Key_Return);
        QTest::keyClick(&d, Qt::Key_Enter);
        QVERIFY(d.isVisible() && d.Enabled(IDC_START));
    }

    // The close box hides only while a tray icon can be seen at that moment; a second launch
    // brings the window back.
    void closeBoxTrayAndSecondLaunch() {
        bool tray = true;
        CTrayIcon::s_trayAvailable = [&tray] { return tray; };
        TestDialog& d = Open();
        const struct {
            bool tray;
            bool hidden;
        } cases[] = {{true, true}, {false, false}, {true, true}};
        for (const auto& c : cases) {
            tray = c.tray;
            d.showNormal();
            d.close();
            QCOMPARE(!d.isVisible(), c.hidden);
            QCOMPARE(d.isVisible() && d.isMinimized(), !c.hidden);
            QVERIFY(!d.ShutDown());
        }
        // Hidden to the tray: a second launch shows it.
        QVERIFY(!d.isVisible());
        QVERIFY(CStrevixDlg::AskRunningToShow());
        QTRY_VERIFY(d.isVisible());
        QVERIFY(!d.isMinimized());
        CTrayIcon::s_trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    }

    void trayIconPicturesMenuAndToggle() {
        CTrayIcon::s_trayAvailable = [] { return true; };
        TestDialog& d = Open();
        QCOMPARE(d.m_trayIcon.Shown(), 1);
        QCOMPARE(d.TrayPicture(), int(IDI_IDLE));
        QCOMPARE(d.m_trayIcon.Tray()->toolTip(), QString("Strevix"));
        QMenu* menu = d.m_trayIcon.Menu();
        QStringList texts;
        for (QAction* a : menu->actions()) texts << (a->isSeparator() ? "-" : a->text());
        QCOMPARE(texts, (QStringList{QString::fromUtf8("显示隐藏"), QString::fromUtf8("退出终端"),
                                     "-", QString::fromUtf8("关于我的")}));
        QCOMPARE(menu->defaultAction(), menu->actions().first());
        // With a tray the close box hides; a double-click toggles.
        d.close();
        QVERIFY(!d.isVisible());
        QCOMPARE(d.m_trayIcon.OnTrayNotification(CTrayIcon::kIconId, WM_LBUTTONDBLCLK), 1);
        QVERIFY(d.isVisible());
        d.m_trayIcon.OnTrayNotification(CTrayIcon::kIconId, WM_LBUTTONDBLCLK);
        QVERIFY(!d.isVisible());
        QCOMPARE(d.m_trayIcon.OnTrayNotification(999, WM_LBUTTONDBLCLK), 0);
        QVERIFY(!d.isVisible());
        d.OnCommand(ID_TRAY_SHOWHIDE);
        QVERIFY(d.isVisible());
        // Capturing turns it green, and stopping leaves it so.
        d.m_runAs = 0;
        d.OnCommand(IDC_START);
        QCOMPARE(d.TrayPicture(), int(IDI_CAPTURING));
        d.OnCommand(IDC_STOP);
        QCOMPARE(d.TrayPicture(), int(IDI_CAPTURING));
        // The menu's exit item runs the exit sequence, also while the window is hidden.
        d.close();
        QVERIFY(!d.isVisible());
        menu->actions().at(1)->trigger();
        QVERIFY(d.ShutDown());
        QCOMPARE(d.m_trayIcon.Shown(), 0);
    }

    void exitShutsDownWithItsLogLinesInOrder() {
        TestDialog& d = Open();
        d.captureFile = kSample;
        d.OnCommand(IDC_PCAP_FILE);  // exit while capture runs
        QSignalSpy exited(&d, &CStrevixDlg::Exited);
        d.OnCommand(IDC_EXIT);
        QVERIFY(d.ShutDown());
        QCOMPARE(exited.count(), 1);
        QVERIFY(d.m_session.Running() == 0);
        QVERIFY(d.m_session.Interfaces().empty());
        QVERIFY(d.m_htmlView == nullptr);
        std::vector<std::string> lines = apptest::LogLines(home_);
        QVERIFY(lines.size() >= 3);
        QCOMPARE(lines.back(), std::string("INFO Program Exited."));
        QCOMPARE(lines[lines.size() - 2], std::string("INFO Access operation terminal."));
        // The capture ended before the database closed.
        int threadEnd = -1, dbClose = -1;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == "INFO Quillet Brisco Analyse Thread exited.") threadEnd = int(i);
            if (lines[i] == "INFO Access operation terminal.") dbClose = int(i);
        }
        QVERIFY(threadEnd >= 0 && threadEnd < dbClose);
        QVERIFY(std::find(lines.begin(), lines.end(), "INFO Got a exception when Program Exit.") ==
                lines.end());
        // Logging is shut down: nothing more reaches the file.
        LogOut(LOG_INFO, "after");
        QCOMPARE(apptest::LogLines(home_).size(), lines.size());
    }

    void failingReleaseStepStillEndsTheLog() {
        TestDialog& d = Open();
        d.failDatabaseRelease = true;
        d.OnCommand(IDC_EXIT);
        std::vector<std::string> lines = apptest::LogLines(home_);
        QVERIFY(lines.size() >= 2);
        QCOMPARE(lines[lines.size() - 2], std::string("INFO Got a exception when Program Exit."));
        QCOMPARE(lines.back(), std::string("INFO Program Exited."));
    }

    void streamListColoursAndHotTracking() {
        TestDialog& d = Open();
        Stream("rtmp://h/live/a");
        Stream("rtmp://h/live/b");
        Stream("rtmp://h/live/c");
        auto* list = static_cast<CMyListCtrl*>(d.List(IDC_LIST_STREAM));
        QColor back, text;
        list->RowColours(0, false, &back, &text);
        QCOMPARE(back, QColor(255, 255, 255));
        list->RowColours(1, false, &back, &text);
        QCOMPARE(back, QColor(227, 242, 254));
        list->RowColours(2, true, &back, &text);
        QCOMPARE(back, list->palette().color(QPalette::Highlight));
        // The row under the mouse is light red, even when it is the selected one.
        QRect r = list->visualItemRect(list->topLevelItem(2));
        list->OnMouseMove(r.center());
        QCOMPARE(list->HotRow(), 2);
        QCOMPARE(list->Tracking(), 1);
        list->RowColours(2, true, &back, &text);
        QCOMPARE(back, QColor(255, 204, 204));
        QCOMPARE(text, list->palette().color(QPalette::ButtonText));  // readable on light red
        list->OnMouseLeave();
        QCOMPARE(list->HotRow(), -1);
        QCOMPARE(list->Tracking(), 0);
        list->RowColours(2, true, &back, &text);
        QCOMPARE(back, list->palette().color(QPalette::Highlight));
    }

    void startPageBehaviours() {
        TestDialog& d = Open();
        CHtmlViewEx* view = d.m_htmlView;
        QVERIFY(view != nullptr);
        QVERIFY(view->toPlainText().contains(QString::fromUtf8("使用步骤")));
        QCOMPARE(view->frameShape(), QFrame::NoFrame);
        QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(view->contextMenuPolicy(), Qt::NoContextMenu);
        // A left-button drag selects no text.
        QWidget* port = view->viewport();
        QTest::mousePress(port, Qt::LeftButton, {}, QPoint(5, 5));
        QMouseEvent move(QEvent::MouseMove, QPointF(150, 120), port->mapToGlobal(QPointF(150, 120)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(port, &move);
        QTest::mouseRelease(port, Qt::LeftButton, {}, QPoint(150, 120));
        QVERIFY(!view->textCursor().hasSelection());
        QCOMPARE(port->cursor().shape(), Qt::ArrowCursor);
    }

    // Capture threads report while the GUI thread deletes, clears and selects: the widgets end
    // equal to what LogOut was told, and each producer's rows keep their order.
    void reportsFromThreadsStayConsistent() {
        TestDialog& d = Open();
        apptest::MessageRecorder boxes;
        std::atomic<bool> stop{false};
        std::vector<std::thread> producers;
        for (int t = 0; t < 3; ++t) {
            producers.emplace_back([t, &stop] {
                for (int i = 0; !stop.load(); ++i) {
                    const std::string n = std::to_string(t) + "_" + std::to_string(i);
                    LogOut(LOG_NETDATA, "RTMP-rtmp://10.0.0." + std::to_string(t) + "/live/" + n);
                    if (i % 3 == 0) LogOut(LOG_STREAM, "RTMP-rtmp://10.0.0.1/live/" + n);
                    if (i % 50 == 0) std::this_thread::yield();
                }
            });
        }
        QTreeWidget* list = static_cast<QTreeWidget*>(d.Control(IDC_LIST_STREAM));
        for (int round = 0; round < 300; ++round) {
            QCoreApplication::processEvents();
            switch (round % 5) {
                case 0:
                    d.OnCommand(IDC_DELETE);
                    break;
                case 1:
                    if (list->topLevelItemCount() > 3) list->setCurrentItem(list->topLevelItem(3));
                    break;
                case 2:
                    if (round % 25 == 2) d.OnCommand(IDC_CLEAR);
                    break;
                default:
                    // Sorted views in between: the user's rows are found by their items.
                    if (round % 7 == 3) {
                        d.OnHeaderClicked(list, round % 3);
                        d.OnHeaderClicked(static_cast<QTreeWidget*>(d.Control(IDC_LIST_NETDATA)),
                                          round % 3);
                    }
                    d.SelectedStreamListRow();
            }
        }
        stop = true;
        for (std::thread& p : producers) p.join();
        d.SyncReports();
        // Back in the order of the reports, the widgets must equal the mirror row by row.
        d.ReportWindow()->SortBy(IDC_LIST_NETDATA, -1, Qt::AscendingOrder);
        d.ReportWindow()->SortBy(IDC_LIST_STREAM, -1, Qt::AscendingOrder);
        for (int id : {IDC_LIST_NETDATA, IDC_LIST_STREAM}) {
            std::vector<CReportWindow::Row> rows = d.ReportWindow()->Rows(id);
            QTreeWidget* w = static_cast<QTreeWidget*>(d.Control(id));
            QCOMPARE(w->topLevelItemCount(), int(rows.size()));
            QVERIFY(rows.size() <= 201);
            for (size_t i = 0; i < rows.size(); ++i) {
                for (int c = 0; c < 3; ++c)
                    QCOMPARE(w->topLevelItem(int(i))->text(c).toStdString(), rows[i].columns[c]);
                QCOMPARE(w->topLevelItem(int(i))->isSelected(),
                         (rows[i].state & LVIS_SELECTED) != 0);
            }
        }
        // Running numbers fall from top to bottom.
        QTreeWidget* net = d.List(IDC_LIST_NETDATA);
        for (int i = 1; i < net->topLevelItemCount(); ++i)
            QVERIFY(net->topLevelItem(i - 1)->text(0).toInt() >
                    net->topLevelItem(i)->text(0).toInt());
    }

    // Start and stop over and over while a capture with many streams is analysed.
    void startStopWhileAnalysing() {
        TestDialog& d = Open();
        d.captureFile = apptest::ManyStreamsCapture(home_, 3000);
        for (int i = 0; i < 100; ++i) {
            d.OnCommand(IDC_PCAP_FILE);
            QCOMPARE(int(d.m_session.Running()), 1);
            if (i % 3 == 0) QCoreApplication::processEvents();
            if (i % 10 == 0) QTest::qWait(5);
            const bool ended = !d.Enabled(IDC_STOP);  // the file may have ended by itself
            d.OnCommand(IDC_STOP);
            QVERIFY(d.m_session.Running() == 0);
            if (!ended) QCOMPARE(GetStreamCount(), 0);
        }
        d.OnCommand(IDC_PCAP_FILE);
        QVERIFY(d.WaitCaptures(120000));
        QCOMPARE(GetStreamCount(), 3000);
        QCOMPARE(d.List(IDC_LIST_STREAM)->topLevelItemCount(), 201);
        QCOMPARE(d.Cell(IDC_LIST_STREAM, 0, 0), QString("3000"));
        QCOMPARE(d.Cell(IDC_LIST_STREAM, 0, 2), QString("s2999.m3u8"));
        d.OnCommand(IDC_EXIT);
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    StrevixDlgTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "StrevixDlgTest.moc"
