#include "app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "Version.h"
#include "app/DialogUnits.h"
#include "app/Icons.h"
#include "app/Language.h"
#include "app/Resource.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Tr("关于 Strevix"));
    setFont(ShellDlgFont(9));
    DialogUnits du(font());
    setFixedSize(du.X(168), du.Y(89));

    QLabel* icon = new QLabel(this);
    icon->setPixmap(LoadAppIcon(IDI_CAPTURING).pixmap(32, 32));
    icon->setGeometry(du.X(14), du.Y(14), 32, 32);

    QLabel* version = new QLabel(Tr("Strevix，%1 版").arg(STREVIX_VERSION ".0"), this);
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(du.Rect(42, 14, 114, 10));
    QLabel* protocols = new QLabel(Tr("支持HTTP,RTMP,RTSP,HLS、HTTP-FLV协议。"), this);
    protocols->setTextFormat(Qt::PlainText);
    protocols->setWordWrap(true);
    protocols->setGeometry(du.Rect(42, 28, 120, 30));

    QPushButton* ok = new QPushButton(Tr("确定"), this);
    ok->setObjectName("ctl1");
    ok->setDefault(true);
    ok->setGeometry(du.Rect(111, 68, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
