#include "app/StrevixApp.h"

#include <QApplication>

#include "app/DialogUnits.h"
#include "app/Launch.h"
#include "app/StrevixDlg.h"

int CStrevixApp::InitInstance(int argc, char** argv) {
    QApplication app(argc, argv);
    // The window hides to the tray; only the exit sequence ends the program.
    app.setQuitOnLastWindowClosed(false);
    QCoreApplication::setOrganizationName(QString::fromUtf8("应用程序向导生成的本地应用程序"));
    QCoreApplication::setApplicationName("Strevix");
    QCoreApplication::setApplicationVersion("1.5.3");
    QApplication::setFont(SongTiFont(10));
    VideoFolder();  // fixed for the run before anything can use it

    CStrevixDlg dialog;  // starts logging; a second instance ends here
    QObject::connect(&dialog, &CStrevixDlg::Exited, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    dialog.OnInitDialog();
    dialog.show();
    app.exec();
    return 0;
}
