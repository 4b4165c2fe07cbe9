// Pictures of the main window for docs/: run under Xvfb with a tray host (screenshots-xvfb.sh).
//   app_screenshots OUTPUT_FOLDER zh|en
// The window is driven in-process over the bundled sample capture; the screen is grabbed, so
// open menus are in the picture.

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <thread>

#include "AppTestSupport.h"
#include "app/Language.h"
#include "app/RecordingsView.h"
#include "app/Resource.h"

namespace {

void Save(QWidget* window, const QString& path, bool wholeScreen) {
    QTest::qWait(400);
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect frame = window->frameGeometry();
    QPixmap picture = wholeScreen ? screen->grabWindow(0, frame.x(), frame.y(), frame.width() + 220,
                                                       frame.height() + 40)
                                  : window->grab();
    if (!picture.save(path)) qWarning("cannot write %s", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    if (argc < 3) return 2;
    const QString out = argv[1];
    const QString language = argv[2];
    InstallTranslations(&app, language);
    apptest::MakeAppFolder();

    apptest::TestDialog d;
    d.OnInitDialog();
    d.show();
    d.move(10, 10);
    d.resize(1180, 720);
    d.captureFile = std::string(STREVIX_SOURCE_DIR) + "/data/sample.pcap";
    d.OnCommand(IDC_PCAP_FILE);
    d.WaitCaptures();
    QTreeWidget* streams = d.List(IDC_LIST_STREAM);
    if (language == "en") {
        Save(&d, out + "/main-en.png", false);
        return 0;
    }
    Save(&d, out + "/main-large.png", false);

    // A context menu on the RTMP row.
    QTreeWidgetItem* rtmp = nullptr;
    for (int i = 0; i < streams->topLevelItemCount(); ++i)
        if (streams->topLevelItem(i)->text(1).startsWith("rtmp://"))
            rtmp = streams->topLevelItem(i);
    if (rtmp == nullptr) return 1;
    streams->setCurrentItem(rtmp);
    const QRect row = streams->visualItemRect(rtmp);
    d.RowMenu()->popup(streams->viewport()->mapToGlobal(row.center()));
    Save(&d, out + "/row-menu.png", true);
    d.RowMenu()->hide();

    // Record only, and the capture read again: the file grows in the recordings view.
    d.OnCommand(IDC_RECORD_ONLY);
    d.OnCommand(IDC_PCAP_FILE);
    // Without the event loop, so that the window has not yet noticed the end of the file.
    for (int i = 0; i < 2000; ++i) {
        if (d.m_session.Running() == 0 || d.m_session.FileEnded()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    d.Recordings()->Poll();
    d.SyncReports();
    d.grab().save(out + "/recordings.png");
    d.WaitCaptures();
    return 0;
}
