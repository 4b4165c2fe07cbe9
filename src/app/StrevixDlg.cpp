#include "app/StrevixDlg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Version.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "app/AboutDlg.h"
#include "app/AnchorLayout.h"
#include "app/Autostart.h"
#include "app/DialogUnits.h"
#include "app/HtmlViewEx.h"
#include "app/Icons.h"
#include "app/Language.h"
#include "app/Launch.h"
#include "app/MessageBox.h"
#include "app/ModifyPassword.h"
#include "app/MyListCtrl.h"
#include "app/RecordingsView.h"
#include "app/ReportWindow.h"
#include "app/Resource.h"
#include "app/StatusLabel.h"
#include "common/Exception.h"
#include "common/LogOut.h"
#include "common/TextConvert.h"
#include "database/SqliteDataBase.h"
#include "decoder/FlvWriter.h"
#include "platform/Adapters.h"
#include "platform/ProcessList.h"
#include "platform/Spawn.h"

namespace {

// What the status line adds for the TLS sessions no key could be found for.
std::string TlsUnreadText(size_t sessions) {
    if (sessions == 0) return std::string();
    return "，" + std::to_string(sessions) + "个TLS会话无法解密（缺少密钥日志）";
}

const char* const kAboutMenuText = "关于 Strevix(&A)...";  // string resource 101
const char* const kRowGuardText = "请选择一条数据！";
const char* const kRowGuardCaption = "提示";

std::string Format(const char* pattern, int number) {
    char buffer[256];
    std::snprintf(buffer, sizeof(buffer), pattern, number);
    return buffer;
}

// The executable's file name without its extension.
std::string ExecutableName() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) throw "no executable name";
    std::string path(buffer, static_cast<size_t>(n));
    std::string name = path.substr(path.rfind('/') + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

std::string FieldText(CSqlQuery& query, const char* name) {
    const char* value = query.fieldValue(query.fieldIndex(name));
    return value == nullptr ? std::string() : std::string(value);
}

pcap_if_t* DeviceOf(QTreeWidgetItem* item) {
    return static_cast<pcap_if_t*>(item->data(0, Qt::UserRole).value<void*>());
}

}  // namespace

CStrevixDlg::CStrevixDlg(QWidget* parent, bool checkSingleInstance)
    : QDialog(parent), m_appTitle("瑞维【未指定采集目标】") {
    m_hIcon = LoadAppIcon(IDR_MAINFRAME);
    InitLogging();
    if (checkSingleInstance) CheckSingleInstance();
    CreateControls();
}

CStrevixDlg::~CStrevixDlg() {
    // Destroyed without a complete exit sequence (tests, a failed release step): still end
    // every capture thread before the widgets go.
    Stop();
    if (m_deviceList != nullptr) m_deviceList->clear();  // its rows point into the list
    m_session.ForgetInterfaces();
    SetReportWindow(nullptr);
    m_reportWindow.reset();
}

void CStrevixDlg::CheckSingleInstance() {
    try {
        const std::string name = ExecutableName();
        // The console front end (strevix-cli) contains the name but is not an instance.
        int count = GetProcessCountFromName(name) - GetProcessCountFromName(name + "-cli");
        if (count >= 2) {
            LogOut(LOG_INFO, "Strevix process is exist, this process is exited.");
            AskRunningToShow();
            m_exiting = 1;
            ShutdownLogging();
            std::exit(0);
        }
    } catch (...) {
        std::exit(0);
    }
}

std::string CStrevixDlg::s_instanceName = "strevix-" + std::to_string(getuid());

bool CStrevixDlg::AskRunningToShow() {
    if (QCoreApplication::instance() == nullptr) return false;
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(s_instanceName));
    if (!socket.waitForConnected(1000)) return false;
    socket.write("show\n");
    const bool sent = socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return sent;
}

void CStrevixDlg::ListenForLaunches() {
    m_instanceServer = new QLocalServer(this);
    m_instanceServer->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = QString::fromStdString(s_instanceName);
    // Only one instance runs, so a socket left by one that crashed is stale.
    if (!m_instanceServer->listen(name)) {
        QLocalServer::removeServer(name);
        if (!m_instanceServer->listen(name)) {
            LogOut(LOG_INFO, "no launch socket: " + m_instanceServer->errorString().toStdString());
            return;
        }
    }
    connect(m_instanceServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_instanceServer->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            auto read = [this, client] {
                if (!client->readAll().contains("show") || m_shutDown) return;
                showNormal();
                raise();
                activateWindow();
            };
            connect(client, &QLocalSocket::readyRead, this, read);
            if (client->bytesAvailable() > 0) read();
        }
    });
}

void CStrevixDlg::CreateControls() {
    setWindowTitle(Tr("斯瑞维") + STREVIX_VERSION);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setFont(SongTiFont(10));
    const DialogUnits du(font());
    // The template's size is the smallest; the lists take what is added.
    const QSize minimum(du.X(491), du.Y(301));
    CAnchorLayout* layout = new CAnchorLayout(minimum, this);
    setMinimumSize(minimum);
    resize(minimum);
    setSizeGripEnabled(true);

    // Shares of the added room: the top band (interfaces, network data) gets kTop of the height,
    // the stream band the rest; the stream list kList of the width, the start page the rest.
    const double kTop = 0.3, kList = 0.65;
    typedef CAnchorLayout::Anchor A;
    auto place = [&](QWidget* w, int id, int x, int y, int width, int height, A anchor = A()) {
        layout->Place(w, du.Rect(x, y, width, height), anchor);
        if (id != 0) {
            w->setObjectName(QString("ctl%1").arg(id));
            w->setProperty("controlId", id);
            m_controls[id] = w;
        }
        return w;
    };
    auto group = [&](const char* text, int x, int y, int width, int height, A anchor) {
        QGroupBox* box = new QGroupBox(Tr(text), this);
        // An etched frame as in the template; the title sits on its top edge.
        box->setStyleSheet(
            QString("QGroupBox { border: 1px solid palette(mid); border-radius: 2px;"
                    " margin-top: %1px; }"
                    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                    " left: 6px; padding: 0 2px; }")
                .arg(du.Y(4)));
        place(box, 0, x, y, width, height, anchor);
    };
    auto label = [&](const char* text, int x, int y, int width, int height, A anchor = A()) {
        QLabel* l = new QLabel(Tr(text), this);
        l->setTextFormat(Qt::PlainText);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        place(l, 0, x, y, width, height, anchor);
        return l;
    };
    auto button = [&](int id, const char* text, int x, int y, int width, int height,
                      A anchor = A()) {
        QPushButton* b = new QPushButton(Tr(text), this);
        b->setAutoDefault(false);
        place(b, id, x, y, width, height, anchor);
        connect(b, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
        return b;
    };
    const A leftTop{0, 0, 0.5, kTop}, rightTop{0.5, 0, 0.5, kTop}, topButtons{0.5, 0, 0, 0};
    const A streams{0, kTop, kList, 1 - kTop}, streamButtons{kList, kTop, 0, 0};
    const A bottomOfStreams{kList, 1, 0, 0}, page{kList, kTop, 1 - kList, 1 - kTop};

    // Group boxes first, so that the controls inside lie above them.
    group("采集设置：(1)点击“开始”进行嗅探", 3, 2, 256, 75, leftTop);
    group("嗅探信息", 262, 2, 226, 75, rightTop);
    group("网络视频流信息：(2)双击视频流播放 (3)在播放器菜单中点击“录制”保存视频", 3, 79, 310, 208,
          streams);

    label("网络接口信息：", 6, 15, 54, 10);
    m_deviceList = new QTreeWidget(this);
    SetupReportList(m_deviceList);
    place(m_deviceList, IDC_LIST_DEVICES, 7, 26, 248, 47, leftTop);
    button(IDC_TEST, "TEST", 87, 9, 50, 14)->setVisible(false);
    button(IDC_PCAP_FILE, "pcap文件", 146, 9, 41, 15, topButtons);
    // The default button's look; Enter itself does nothing (keyPressEvent).
    button(IDC_START, "开始", 191, 9, 28, 15, topButtons)->setDefault(true);
    button(IDC_STOP, "停止", 227, 9, 28, 15, topButtons);

    m_netDataList = new QTreeWidget(this);
    SetupReportList(m_netDataList);
    place(m_netDataList, IDC_LIST_NETDATA, 266, 12, 222, 61, rightTop);

    // The user's choice in the network-data list is kept through the reports that follow.
    connect(m_netDataList, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!m_reportWindow || m_reportWindow->Applying()) return;
        QList<QTreeWidgetItem*> selected = m_netDataList->selectedItems();
        WithReportLock([&] {
            if (selected.isEmpty())
                m_reportWindow->UserDeselected(IDC_LIST_NETDATA);
            else
                m_reportWindow->UserSelected(IDC_LIST_NETDATA, selected.first());
        });
    });

    m_streamList = new CMyListCtrl(this);
    place(m_streamList, IDC_LIST_STREAM, 6, 91, 253, 195, streams);
    connect(m_streamList, &QTreeWidget::itemSelectionChanged, this,
            &CStrevixDlg::OnStreamSelectionChanged);
    connect(m_streamList, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) {
                // The row the item is once the queued reports are in.
                int row = -1;
                WithReportLock([&] { row = m_reportWindow->MirrorRowOf(IDC_LIST_STREAM, item); });
                if (row >= 0) OnStreamListDblClk(row);
            });

    for (QTreeWidget* list :
         {m_deviceList, m_netDataList, static_cast<QTreeWidget*>(m_streamList)}) {
        list->installEventFilter(this);
        connect(list->header(), &QHeaderView::sectionClicked, this,
                [this, list](int column) { OnHeaderClicked(list, column); });
    }
    m_streamList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_streamList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (m_streamList->itemAt(pos) == nullptr) return;
        m_rowMenu->popup(m_streamList->viewport()->mapToGlobal(pos));
    });
    m_rowMenu = new QMenu(this);
    const struct {
        int id;
        const char* text;
    } rowItems[] = {{IDC_COPY_ADDRESS, "复制地址"}, {IDC_PLAY, "播录"}, {IDC_RECORD_ONLY, "只录"},
                    {IDC_RECORD_MP4, "录制MP4"},    {0, nullptr},       {IDC_FOLDER, "打开文件夹"}};
    for (const auto& item : rowItems) {
        if (item.text == nullptr) {
            m_rowMenu->addSeparator();
            continue;
        }
        QAction* action = m_rowMenu->addAction(Tr(item.text));
        action->setData(item.id);
        if (item.id == IDC_COPY_ADDRESS) action->setShortcut(QKeySequence::Copy);
        const int id = item.id;
        connect(action, &QAction::triggered, this, [this, id] {
            if (id == IDC_COPY_ADDRESS)
                CopySelectedAddresses(m_streamList);
            else
                OnCommand(id);
        });
    }

    button(IDC_PLAY, "播录", 264, 92, 44, 19, streamButtons);
    button(IDC_RECORD_ONLY, "只录", 264, 115, 44, 19, streamButtons);
    QLabel* hint =
        label("优先使用：\n [ 播录 ] \n其次使用：\n [ 只录 ]\n使用[只录]时,请不要关闭网页！", 266,
              137, 43, 59, streamButtons);
    hint->setWordWrap(true);
    button(IDC_DELETE, "删除", 264, 198, 44, 19, streamButtons);
    button(IDC_CLEAR, "清空", 264, 221, 44, 19, streamButtons);
    label("(4)浏览视频", 264, 254, 48, 9, bottomOfStreams);
    button(IDC_FOLDER, "文件夹...", 264, 264, 44, 19, bottomOfStreams);

    QFrame* webHost = new QFrame(this);
    webHost->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    place(webHost, IDC_WEB_HOST, 313, 76, 175, 207, page);
    QVBoxLayout* hostLayout = new QVBoxLayout(webHost);
    hostLayout->setContentsMargins(webHost->contentsMargins());
    hostLayout->setSpacing(0);
    // The start page shares its place with the recordings of this run.
    m_pageTabs = new QTabWidget(webHost);
    m_pageTabs->setDocumentMode(true);
    hostLayout->addWidget(m_pageTabs);
    m_recordings = new CRecordingsView();
    m_recordings->setObjectName(QString("ctl%1").arg(IDC_LIST_RECORDINGS));
    m_controls[IDC_LIST_RECORDINGS] = m_recordings;
    m_pageTabs->addTab(m_recordings, Tr("录制"));
    connect(m_recordings, &CRecordingsView::OpenRequested, this, [this](const QString& path) {
        const std::string file = QFile::encodeName(path).toStdString();
        if (Launch(PlayerPath(), PlayerArguments(file)) < 0)
            LogOut(LOG_ERROR, "无法启动播放器：" + PlayerPath());
    });

    m_status = new CStatusLabel(Tr("状态信息："), this);
    m_endTimer = new QTimer(this);
    m_endTimer->setInterval(200);
    connect(m_endTimer, &QTimer::timeout, this, [this] { CheckFileCaptureEnd(); });
    m_dropTimer = new QTimer(this);
    m_dropTimer->setInterval(1000);
    connect(m_dropTimer, &QTimer::timeout, this, [this] { ShowDrops(); });
    place(m_status, IDC_STATIC_STATUS, 4, 288, 310, 10, A{0, 1, 1, 0});

    // The commands without a control of their own, and the about item that a system menu
    // would carry.
    QToolButton* more = new QToolButton(this);
    more->setText(Tr("更多..."));
    more->setPopupMode(QToolButton::InstantPopup);
    more->setToolButtonStyle(Qt::ToolButtonTextOnly);
    QMenu* menu = new QMenu(more);
    struct Item {
        int id;
        const char* text;
    };
    const Item items[] = {{IDC_RECORD_MP4, "录制MP4"},
                          {IDC_TLS_KEYLOG, "TLS密钥日志..."},
                          {IDC_MODIFY_PASSWORD, "修改密码..."},
                          {0, nullptr},
                          {IDM_ABOUTBOX, kAboutMenuText}};
    for (const Item& item : items) {
        if (item.text == nullptr) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(Tr(item.text));
        action->setData(item.id);
        const int id = item.id;
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    }
    more->setMenu(menu);
    place(more, IDC_MORE, 396, 285, 44, 14, A{1, 1, 0, 0});

    button(IDC_EXIT, "退出", 445, 285, 44, 14, A{1, 1, 0, 0});
}

QWidget* CStrevixDlg::Control(int id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

bool CStrevixDlg::OnInitDialog() {
    m_reportWindow = std::make_unique<CReportWindow>(m_netDataList, m_streamList, m_status);
    if (const char* dump = std::getenv("STREVIX_DUMP_STREAMS")) m_reportWindow->SetDumpPath(dump);
    SetReportWindow(m_reportWindow.get());

    setWindowIcon(m_hIcon);
    ListenForLaunches();
    if (m_trayIcon.Create(this, m_hIcon, [this](int id) { OnCommand(id); }) == 1)
        SetTrayPicture(IDI_IDLE);

    try {
        LoadSettings();
        // Settings that were read decide whether the desktop session starts the program.
        ApplyAutoRun();
    } catch (const ExceptionBase& e) {
        // Without settings the defaults stay; the window still opens.
        LogOut(LOG_ERROR, e.GetDescription());
    } catch (const CSqlException& e) {
        LogOut(LOG_ERROR, e.errorMessage());
    } catch (...) {
        LogOut(LOG_ERROR, "CStrevixDlg::LoadSettings() exception.");
    }

    Control(IDC_STOP)->setEnabled(false);

    struct Column {
        const char* title;
        int width;
    };
    auto columns = [](QTreeWidget* list, std::initializer_list<Column> cols) {
        QStringList titles;
        for (const Column& c : cols) titles << Tr(c.title);
        list->setHeaderLabels(titles);
        int i = 0;
        for (const Column& c : cols) list->setColumnWidth(i++, c.width);
    };
    columns(m_deviceList, {{"IP地址", 115}, {"设备描述", 150}, {"设备名称", 147}});
    columns(m_netDataList, {{"序号", 60}, {"协议", 60}, {"地址", 248}});
    columns(m_streamList, {{"序号", 60}, {"地址", 255}, {"视频流", 107}});

    BuildInterfaceList();
    LogOut(LOG_STATUS, "程序准备就绪");
    if (m_autoCapture) OnCommand(IDC_START);

    QWidget* host = Control(IDC_WEB_HOST);
    m_htmlView = new CHtmlViewEx(host);
    m_pageTabs->insertTab(0, m_htmlView, Tr("首页"));
    m_pageTabs->setCurrentIndex(0);
    m_htmlView->Navigate();
    m_htmlView->show();

    // The capture-file button stays: capture files are an everyday input on Linux.

    if (const char* capture = std::getenv("STREVIX_OPEN_CAPTURE")) {
        if (capture[0] != '\0') {
            m_pendingCapturePath = capture;
            QTimer::singleShot(0, this, [this] { OnCommand(IDC_PCAP_FILE); });
        }
    }
    if (QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    return true;
}

void CStrevixDlg::ApplyAutoRun() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0 && !ApplyAutostart(m_autoRun == 1, std::string(self, static_cast<size_t>(n))))
        LogOut(LOG_ERROR, "无法更新自动启动项：" + AutostartPath());
}

void CStrevixDlg::LoadSettings() {
    int autoRun = m_autoRun, autoCapture = m_autoCapture, runAs = m_runAs,
        uploadTimer = m_uploadTimer;
    std::string appTitle = m_appTitle;
    std::string keyLog = m_tlsKeyLog;
    CSqliteDataBase* db = CSqliteDataBase::GetInstance();
    CSqlQuery query = db->ExcuteSql("SELECT * FROM SysSeting");
    while (!query.eof()) {
        const std::string name = FieldText(query, "ParamName");
        if (name == "AutoRun") {
            autoRun = FieldText(query, "ParamValue") == "1" ? 1 : 0;
        } else if (name == "AutoCaptureNetData") {
            autoCapture = FieldText(query, "ParamValue") == "1" ? 1 : 0;
        } else if (name == "AppTitle") {
            appTitle = Utf8ToAnsi(FieldText(query, "ParamValue").c_str());
        } else if (name == "RunAs") {
            runAs = static_cast<int>(std::atol(FieldText(query, "ParamValue").c_str()));
        } else if (name == "UploadTimer") {
            uploadTimer = static_cast<int>(std::atol(FieldText(query, "ParamValue").c_str()));
        } else if (name == "TlsKeyLog") {
            keyLog = FieldText(query, "ParamValue");
        }
        query.nextRow();
    }
    query.finalize();
    // All or nothing: a read that fails part-way leaves the defaults.
    m_autoRun = autoRun;
    m_autoCapture = autoCapture;
    m_appTitle = appTitle;
    m_runAs = runAs;
    m_uploadTimer = uploadTimer;
    m_tlsKeyLog = keyLog;
    // A key log not there yet is still taken: the browser that writes it may start later.
    if (!m_tlsKeyLog.empty()) m_session.SetTlsKeyLogs({m_tlsKeyLog}, nullptr);
}

std::string CStrevixDlg::AskKeyLogFile() {
    QString path = QFileDialog::getOpenFileName(this, Tr("TLS密钥日志 (SSLKEYLOGFILE)"),
                                                QString::fromStdString(m_tlsKeyLog),
                                                Tr("密钥日志 (*.log *.txt *.keys);;所有文件 (*)"));
    return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
}

void CStrevixDlg::OnTlsKeyLog() {
    const std::string path = AskKeyLogFile();
    if (!path.empty()) SetTlsKeyLog(path);
}

void CStrevixDlg::SetTlsKeyLog(const std::string& path) {
    m_tlsKeyLog = path;
    // The captures started from now on read it.
    const bool readable = m_session.SetTlsKeyLogs({path}, nullptr);
    try {
        CSqliteDataBase::GetInstance()->SetSetting("TlsKeyLog", path);
    } catch (const ExceptionBase& e) {
        LogOut(LOG_ERROR, e.GetDescription());
    } catch (const CSqlException& e) {
        LogOut(LOG_ERROR, e.errorMessage());
    }
    LogOut(LOG_STATUS, (readable ? "TLS密钥日志：" : "TLS密钥日志尚不可读：") + path);
}

int CStrevixDlg::GetAdapterDescriptions() {
    std::vector<platform::AdapterInfo> adapters;
    int rc = platform::ListAdapters(&adapters);
    if (rc != 0) return rc;
    for (const auto& a : adapters) m_adapters.push_back(a);
    return 0;
}

std::string CStrevixDlg::FindAdapterDescription(const std::string& deviceName) const {
    // Capture devices are named by their interfaces, so the names match whole.
    for (const auto& a : m_adapters)
        if (a.first == deviceName) return a.second;
    return std::string();
}

void CStrevixDlg::BuildInterfaceList() {
    GetAdapterDescriptions();
    m_session.ListInterfaces();
    if (m_deviceList == nullptr) return;
    for (const CaptureSession::Interface& i : m_session.Interfaces()) {
        const std::string description = FindAdapterDescription(i.name);
        QTreeWidgetItem* item = new CReportItem();
        item->setText(0, QString::fromStdString(i.address));
        item->setText(1, QString::fromStdString(description));
        item->setText(2, QString::fromStdString(i.name));
        item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(i.device)));
        m_deviceList->addTopLevelItem(item);
        char line[64];
        std::snprintf(line, sizeof(line), "---Net DEVICE: %d - ", i.index);
        LogOut(LOG_INFO, line + description + " " + i.name);
    }
}

void CStrevixDlg::SetTrayPicture(int resource) {
    if (m_trayIcon.Shown() != 1) return;
    m_trayIcon.SetIcon(LoadAppIcon(resource));
    m_trayPicture = resource;
}

void CStrevixDlg::StartCapture(const std::string& deviceFilter) {
    m_startFailure.clear();
    m_captureFileName.clear();
    int attempted = 0;
    std::string failures;
    try {
        SetTrayPicture(IDI_CAPTURING);
        for (int row = 0; row < m_deviceList->topLevelItemCount(); ++row) {
            pcap_if_t* device = DeviceOf(m_deviceList->topLevelItem(row));
            if (device == nullptr) continue;
            if (!deviceFilter.empty() &&
                std::string(device->name).find(deviceFilter) == std::string::npos)
                continue;
            if (m_runAs & 2) {
                ++attempted;
                std::string message, detail;
                // A device that did not open captures nothing: it is not counted.
                if (!m_session.StartDevice(device, &message, &detail))
                    failures += OpenFailureText(device->name, message, detail);
            }
            if (!deviceFilter.empty()) break;
        }
        if (attempted > 0 && m_session.Running() == 0) {
            m_startFailure = failures;
            return;
        }
        // Some opened: capture goes on, the others' reasons stay in the status line.
        if (!failures.empty()) m_status->SetWarning(true);
        m_droppedShown = 0;
        m_tlsUnreadShown = 0;
        LogOut(LOG_STATUS,
               Format("正在分析网络数据（共%d个接口）...", static_cast<int>(m_session.Running())));
    } catch (const ExceptionBase& e) {
        LogOut(LOG_ERROR, e.GetDescription());
    }
}

void CStrevixDlg::StartCaptureFromFile(const std::string& path) {
    m_startFailure.clear();
    m_captureFileName.clear();
    try {
        size_t slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        SetTrayPicture(IDI_CAPTURING);
        if (m_runAs & 2) {
            std::string message, detail;
            if (!m_session.StartFile(path, &message, &detail)) {
                m_startFailure = OpenFailureText("PCap文件<" + name + ">", message, detail);
                return;
            }
            m_captureFileName = name;
        }
        LogOut(LOG_STATUS, "正在分析PCap文件<" + name + ">");
    } catch (const ExceptionBase& e) {
        LogOut(LOG_ERROR, e.GetDescription());
    }
}

void CStrevixDlg::Stop() {
    // The GUI thread holds no report lock here, and capture threads never wait for it, so
    // every join ends.
    try {
        m_session.Stop();
    } catch (const ExceptionBase& e) {
        LogOut(LOG_ERROR, e.GetDescription());
    } catch (...) {
        LogOut(LOG_ERROR, "CStrevixDlg::Stop() exception.");
    }
}

// Start and the capture file are offered while idle, Stop while capturing.
void CStrevixDlg::ShowCapturing(bool capturing) {
    if (capturing && !m_captureFileName.empty())
        m_endTimer->start();
    else
        m_endTimer->stop();
    if (capturing && m_captureFileName.empty())
        m_dropTimer->start();
    else
        m_dropTimer->stop();
    if (!capturing) m_captureFileName.clear();
    if (m_recordings != nullptr) m_recordings->SetCapturing(capturing);
    Control(IDC_START)->setEnabled(!capturing);
    Control(IDC_STOP)->setEnabled(capturing);
    Control(IDC_PCAP_FILE)->setEnabled(!capturing);
}

std::string CStrevixDlg::OpenFailureText(const std::string& source, const std::string& message,
                                         const std::string& detail) {
    std::string text = Tr("无法打开%1：%2")
                           .arg(QString::fromStdString(source), QString::fromStdString(message))
                           .toStdString();
    if (!detail.empty()) text += "（" + detail + "）";
    text += "\n";
    const bool noRights = detail.find("permission") != std::string::npos ||
                          detail.find("not permitted") != std::string::npos;
    if (noRights) {
        char path[4096];
        ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
        const std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : "strevix";
        text += Tr("没有抓包权限。请以 root 运行，或授予本程序抓包权限：").toStdString() +
                "\nsudo setcap cap_net_raw,cap_net_admin=eip " + self + "\n";
    }
    return text;
}

void CStrevixDlg::BeginStart() {
    // A new start shows only its own failures and numbers its rows from 1 after a file ended.
    ClearLastErrorText();
    m_status->SetWarning(false);
    if (m_resetCountersOnStart) {
        m_resetCountersOnStart = false;
        ResetReportCounters();
    }
}

void CStrevixDlg::ShowStartFailure() {
    ShowCapturing(false);
    SetTrayPicture(IDI_IDLE);
    const std::string first = m_startFailure.substr(0, m_startFailure.find('\n'));
    LogOut(LOG_STATUS, first);
    m_status->SetWarning(true);
    std::string text = m_startFailure;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    AppMessageBox(this, text, kRowGuardCaption);
}

void CStrevixDlg::ShowDrops() {
    const unsigned long long dropped = m_session.Dropped();
    const size_t unread = m_session.TlsUnreadSessions().sessions;
    if (dropped <= m_droppedShown && unread <= m_tlsUnreadShown) return;
    m_droppedShown = dropped;
    m_tlsUnreadShown = unread;
    // Drops say more about what is missing; the unread sessions show while there are none.
    char line[200];
    const int interfaces = static_cast<int>(m_session.Running());
    if (dropped > 0) {
        std::snprintf(line, sizeof(line), "正在分析网络数据（共%d个接口），内核已丢弃%llu个包",
                      interfaces, dropped);
    } else {
        std::snprintf(line, sizeof(line), "正在分析网络数据（共%d个接口）%s", interfaces,
                      TlsUnreadText(unread).c_str());
    }
    LogOut(LOG_STATUS, line);
    m_status->SetWarning(true);
}

bool CStrevixDlg::CheckFileCaptureEnd() {
    if (m_captureFileName.empty() || m_session.Running() == 0 || !m_session.FileEnded())
        return false;
    const std::string damage = m_session.DamageReport();
    const std::string name = m_captureFileName;
    Stop();
    ShowCapturing(false);
    SetTrayPicture(IDI_IDLE);
    m_resetCountersOnStart = true;
    if (damage.empty()) {
        const size_t unread = m_session.TlsUnreadSessions().sessions;
        LogOut(LOG_STATUS, "PCap文件<" + name + ">分析完毕" + TlsUnreadText(unread));
        if (unread > 0) m_status->SetWarning(true);
    } else {
        LogOut(LOG_STATUS, "PCap文件<" + name + ">已损坏，分析提前结束");
        m_status->SetWarning(true);
    }
    return true;
}

void CStrevixDlg::OnStart() {
    try {
        BeginStart();
        StartCapture(std::string());
        if (!m_startFailure.empty()) {
            ShowStartFailure();
            return;
        }
        ShowCapturing(true);
    } catch (const ExceptionBase& e) {
        LogOut(LOG_ERROR, e.GetDescription());
    } catch (...) {
        LogOut(LOG_ERROR, "Exception at CStrevixDlg::Test()");
    }
}

void CStrevixDlg::OnStop() {
    try {
        Stop();
        ShowCapturing(false);
    } catch (...) {
        LogOut(LOG_ERROR, "CStrevixDlg::Stop() exception.");
    }
    ResetReportCounters();
    LogOut(LOG_STATUS, "停止采集");
}

std::string CStrevixDlg::AskCaptureFile() {
    if (!m_pendingCapturePath.empty()) {
        std::string path;
        path.swap(m_pendingCapturePath);
        return path;
    }
    QString path =
        QFileDialog::getOpenFileName(this, QString(), QString(),
                                     Tr("抓包文件 (*.pcap *.pcapng *.cap);;pcapng 文件 (*.pcapng);;"
                                        "halog 文件 (*.halog);;所有文件 (*)"));
    return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
}

void CStrevixDlg::OnCaptureFile() {
    try {
        const std::string path = AskCaptureFile();
        if (path.empty()) return;
        BeginStart();
        StartCaptureFromFile(path);
        if (!m_startFailure.empty()) {
            ShowStartFailure();
            return;
        }
        ShowCapturing(true);
    } catch (const ExceptionBase& e) {
        LogOut(LOG_ERROR, e.GetDescription());
    } catch (...) {
        LogOut(LOG_ERROR, "Exception at CStrevixDlg::Test()");
    }
}

void CStrevixDlg::SyncReports() {
    if (m_reportWindow) m_reportWindow->Sync();
}

int CStrevixDlg::SelectedStreamListRow() {
    int row = -1;
    WithReportLock([&] { row = m_reportWindow->FirstSelected(IDC_LIST_STREAM); });
    return row;
}

std::string CStrevixDlg::StreamAddress(int row) {
    std::string address;
    WithReportLock([&] {
        if (row >= 0 && row < m_reportWindow->GetItemCount(IDC_LIST_STREAM))
            address = m_reportWindow->Cell(IDC_LIST_STREAM, row, 1) + "/" +
                      m_reportWindow->Cell(IDC_LIST_STREAM, row, 2);
    });
    return address;
}

std::string CStrevixDlg::GetPlayerParameters(int row) {
    if (SelectedStreamListRow() < 0) return std::string();
    const std::string address = StreamAddress(row);
    if (address.empty()) return std::string();
    return "--i " + address + " --o";
}

int CStrevixDlg::Launch(const std::string& program, const std::vector<std::string>& args) {
    // What the player and the transcoder print goes to log/, not to our terminal.
    std::string output =
        GetAppDirectory() + "/log/" + (program == TranscoderPath() ? "ffmpeg.log" : "player.log");
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        output.clear();
    else
        ::close(fd);
    return platform::SpawnDetached(program, args, output);
}

int CStrevixDlg::OpenFolderWindow(const std::string& folder) {
    return platform::OpenFolder(folder);
}

void CStrevixDlg::LaunchForRow(int row) {
    if (GetPlayerParameters(row).empty()) return;
    const std::string address = StreamAddress(row);
    if (!IsLaunchableAddress(address)) {
        LogOut(LOG_ERROR, "不是可播放的视频流地址，未启动播放器：" + address);
        return;
    }
    if (Launch(PlayerPath(), PlayerArguments(address)) < 0)
        LogOut(LOG_ERROR, "无法启动播放器：" + PlayerPath());
}

void CStrevixDlg::OnPlay() {
    int row = SelectedStreamListRow();
    if (row < 0) {
        AppMessageBox(this, kRowGuardText, kRowGuardCaption);
        return;
    }
    LaunchForRow(row);
}

void CStrevixDlg::OnStreamListDblClk(int row) {
    if (SelectedStreamListRow() < 0) return;
    LaunchForRow(row);
}

void CStrevixDlg::OnRecordOnly() {
    int row = SelectedStreamListRow();
    if (row < 0) {
        AppMessageBox(this, kRowGuardText, kRowGuardCaption);
        return;
    }
    const std::string request = GetPlayerParameters(row);
    if (request.empty()) return;
    // The count before this request, taken and appended in one step.
    const size_t before = AddRecordingRequest(request);
    LogOut(LOG_STATUS, Format("第%d次下载，可点击[文件夹]观看。", static_cast<int>(before)));
    m_recordings->Poll();
    m_pageTabs->setCurrentWidget(m_recordings);
}

void CStrevixDlg::OnRecordMp4() {
    int row = SelectedStreamListRow();
    if (row < 0) {
        AppMessageBox(this, kRowGuardText, kRowGuardCaption);
        return;
    }
    const std::string address = StreamAddress(row);
    const std::string name = FormatMp4Name(std::time(nullptr));
    if (!IsLaunchableAddress(address)) {
        LogOut(LOG_ERROR, "不是可录制的视频流地址，未启动转码器：" + address);
        return;
    }
    if (Launch(TranscoderPath(), TranscoderArguments(address, VideoFolder() + name)) < 0) {
        LogOut(LOG_ERROR, "无法启动转码器：" + TranscoderPath());
        return;
    }
    m_recordings->AddTranscoding(address, VideoFolder() + name);
    m_pageTabs->setCurrentWidget(m_recordings);
}

void CStrevixDlg::OnStreamSelectionChanged() {
    if (!m_reportWindow || m_reportWindow->Applying()) return;
    QList<QTreeWidgetItem*> selected = m_streamList->selectedItems();
    // The user chose after every report still queued; the choice is made on the mirror, where
    // those reports are already in.
    WithReportLock([&] {
        if (selected.isEmpty()) {
            m_reportWindow->UserDeselected(IDC_LIST_STREAM);
            return;
        }
        const int row = m_reportWindow->UserSelected(IDC_LIST_STREAM, selected.first());
        if (row >= 0) SetSelectedStreamRow(row);
    });
}

void CStrevixDlg::OnDelete() {
    bool none = false;
    WithReportLock([&] {
        const int row = m_reportWindow->FirstSelected(IDC_LIST_STREAM);
        if (row < 0) {
            none = true;
            return;
        }
        m_reportWindow->DeleteRow(IDC_LIST_STREAM, row);
        SetSelectedStreamRow(row - 1);
    });
    // Never show a box while holding the report lock: capture threads would wait on it.
    if (none) AppMessageBox(this, kRowGuardText, kRowGuardCaption);
}

void CStrevixDlg::OnClear() {
    WithReportLock([&] {
        m_reportWindow->ClearRows(IDC_LIST_STREAM);
        SetSelectedStreamRow(-1);
    });
}

void CStrevixDlg::OnFolder() {
    if (OpenFolderWindow(VideoFolder()) < 0) LogOut(LOG_ERROR, "无法打开文件夹：" + VideoFolder());
}

void CStrevixDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CStrevixDlg::OnModifyPassword() {
    CModifyPassword dialog(this);
    dialog.exec();
}

void CStrevixDlg::OnShowHide() {
    if (isHidden() || !isVisible()) {
        showNormal();
        raise();
        activateWindow();
    } else {
        hide();
    }
}

void CStrevixDlg::OnExit() {
    m_exiting = 1;
    close();
}

void CStrevixDlg::OnCommand(int id) {
    // A disabled button cannot be clicked; its command is not run from elsewhere either.
    if (QPushButton* b = qobject_cast<QPushButton*>(Control(id)))
        if (!b->isEnabled()) return;
    switch (id) {
        case IDC_START:
            OnStart();
            break;
        case IDC_STOP:
            OnStop();
            break;
        case IDC_PCAP_FILE:
            OnCaptureFile();
            break;
        case IDC_PLAY:
            OnPlay();
            break;
        case IDC_RECORD_ONLY:
            OnRecordOnly();
            break;
        case IDC_RECORD_MP4:
            OnRecordMp4();
            break;
        case IDC_TLS_KEYLOG:
            OnTlsKeyLog();
            break;
        case IDC_DELETE:
            OnDelete();
            break;
        case IDC_CLEAR:
            OnClear();
            break;
        case IDC_FOLDER:
            OnFolder();
            break;
        case IDC_EXIT:
        case ID_TRAY_EXIT:
            OnExit();
            break;
        case ID_TRAY_SHOWHIDE:
            OnShowHide();
            break;
        case ID_TRAY_ABOUT:
        case IDM_ABOUTBOX:
            OnAbout();
            break;
        case IDC_MODIFY_PASSWORD:
            OnModifyPassword();
            break;
        default:  // IDOK (Enter), IDC_TEST and anything else: nothing
            break;
    }
}

QString CStrevixDlg::SelectedAddresses(QTreeWidget* list) {
    SyncReports();
    QStringList lines;
    for (QTreeWidgetItem* item : list->selectedItems()) {
        if (list == m_streamList)
            lines << item->text(1) + "/" + item->text(2);
        else if (list == m_netDataList)
            lines << item->text(2);
        else
            lines << item->text(2);  // the device name
    }
    return lines.join('\n');
}

void CStrevixDlg::CopySelectedAddresses(QTreeWidget* list) {
    const QString text = SelectedAddresses(list);
    if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

void CStrevixDlg::OnHeaderClicked(QTreeWidget* list, int column) {
    // Ascending, descending, then (for the report lists) back to the order of the reports.
    const bool report = list == m_streamList || list == m_netDataList;
    if (report && !m_reportWindow) return;
    const int id = list == m_streamList ? IDC_LIST_STREAM : IDC_LIST_NETDATA;
    const int current = report ? m_reportWindow->SortColumn(id)
                               : (list->header()->isSortIndicatorShown() ? list->sortColumn() : -1);
    const Qt::SortOrder order = list->header()->sortIndicatorOrder();
    int next = column;
    Qt::SortOrder nextOrder = Qt::AscendingOrder;
    if (current == column) {
        if (order == Qt::AscendingOrder) {
            nextOrder = Qt::DescendingOrder;
        } else if (report) {
            next = -1;
        }
    }
    if (report) {
        m_reportWindow->SortBy(id, next, nextOrder);
    } else {
        list->header()->setSortIndicatorShown(true);
        list->sortItems(next, nextOrder);
    }
}

bool CStrevixDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !m_reportWindow)
        return QDialog::eventFilter(watched, event);
    QTreeWidget* list = qobject_cast<QTreeWidget*>(watched);
    QKeyEvent* key = static_cast<QKeyEvent*>(event);
    if (list == nullptr) return QDialog::eventFilter(watched, event);
    if (key->matches(QKeySequence::Copy)) {
        CopySelectedAddresses(list);
        return true;
    }
    if (list == m_streamList && SelectedStreamListRow() >= 0) {
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            OnCommand(IDC_PLAY);
            return true;
        }
        if (key->key() == Qt::Key_Delete) {
            OnCommand(IDC_DELETE);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CStrevixDlg::HideToTray() {
    // Without a tray a hidden window could not be brought back: minimise it instead. The tray
    // host may have gone since the icon was made, so ask now.
    if (m_trayIcon.VisibleNow()) {
        hide();
    } else {
        showMinimized();
    }
}

void CStrevixDlg::reject() {
    // Escape is a close request: the window goes to the tray, nothing ends.
    if (m_exiting == 0) HideToTray();
}

void CStrevixDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();  // Enter does not start capture or close the window
        return;
    }
    QDialog::keyPressEvent(event);
}

void CStrevixDlg::closeEvent(QCloseEvent* event) {
    if (m_exiting == 0) {
        event->ignore();
        HideToTray();
        return;
    }
    if (!m_shutDown) ShutdownSequence();
    event->accept();
    QDialog::done(0);
    Q_EMIT Exited();
}

void CStrevixDlg::ReleaseDatabase() {
    delete CSqliteDataBase::GetInstance();
}

void CStrevixDlg::ReleaseFlvFiles() {
    ReleaseFlvFileTable();
}

void CStrevixDlg::ShutdownSequence() {
    m_shutDown = true;
    if (m_instanceServer != nullptr) m_instanceServer->close();
    try {
        delete m_htmlView;
        m_htmlView = nullptr;
        m_trayIcon.Remove();
        Stop();
        m_deviceList->clear();  // its rows point into the list
        m_session.ForgetInterfaces();
        ReleaseDatabase();
        ReleaseFlvFiles();
    } catch (...) {
        LogOut(LOG_INFO, "Got a exception when Program Exit.");
    }
    LogOut(LOG_INFO, "Program Exited.");
    ShutdownLogging();
}
