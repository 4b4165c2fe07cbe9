#include "app/StrevixApp.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <cstdlib>
#include <memory>

#include "Version.h"
#include "app/DialogUnits.h"
#include "app/Language.h"
#include "app/Launch.h"
#include "app/StrevixDlg.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
    const char byte = 1;
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

// SIGTERM and SIGINT (logout, kill, Ctrl+C in a terminal) run the exit sequence on the GUI
// thread instead of ending the process in the middle of a capture.
void CatchTerminateSignals() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int CStrevixApp::InitInstance(int argc, char** argv) {
    QApplication app(argc, argv);
    // The window hides to the tray; only the exit sequence ends the program.
    app.setQuitOnLastWindowClosed(false);
    QCoreApplication::setOrganizationName(QString::fromUtf8("应用程序向导生成的本地应用程序"));
    QCoreApplication::setApplicationName("Strevix");
    QCoreApplication::setApplicationVersion(STREVIX_VERSION);
    QApplication::setFont(SongTiFont(10));
    InstallTranslations(&app,
                        ChooseLanguage(std::getenv("STREVIX_LANG"), QLocale::system().name()));
    VideoFolder();  // fixed for the run before anything can use it

    CStrevixDlg dialog;  // starts logging; a second instance ends here
    QObject::connect(&dialog, &CStrevixDlg::Exited, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // However the application comes to quit, the exit sequence runs once.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &dialog, [&dialog] {
        if (!dialog.ShutDown()) dialog.OnExit();
    });
    CatchTerminateSignals();
    std::unique_ptr<QSocketNotifier> notifier;
    if (g_signalPipe[0] >= 0) {
        notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &dialog, [&dialog] {
            char buffer[16];
            while (read(g_signalPipe[0], buffer, sizeof(buffer)) > 0) {
            }
            if (!dialog.ShutDown()) dialog.OnExit();
        });
    }

    dialog.OnInitDialog();
    dialog.show();
    app.exec();
    return 0;
}
