#include "app/HtmlViewEx.h"

#include <QEvent>
#include <QFileInfo>
#include <QMouseEvent>
#include <QUrl>

#include "app/Icons.h"
#include "app/Language.h"
#include "platform/AppDirectory.h"

CHtmlViewEx::CHtmlViewEx(QWidget* parent) : QTextBrowser(parent) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setContextMenuPolicy(Qt::NoContextMenu);
    setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    setOpenExternalLinks(false);
    setOpenLinks(false);
    setFocusPolicy(Qt::NoFocus);
    viewport()->setCursor(Qt::ArrowCursor);
    viewport()->installEventFilter(this);
}

void CHtmlViewEx::Navigate() {
    EnsureAppResources();
    // The page of the window's language: its translation names the file.
    const QString page = Tr("start.html");
    const QString local = QString::fromStdString(platform::ResourceFolder()) + "/" + page;
    if (QFileInfo::exists(local)) {
        setSource(QUrl::fromLocalFile(local));
    } else {
        setSource(QUrl("qrc:/" + page));
    }
}

bool CHtmlViewEx::eventFilter(QObject* watched, QEvent* event) {
    if (watched == viewport()) {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
                if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) return true;
                break;
            case QEvent::MouseMove:
                if (static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton) return true;
                break;
            case QEvent::CursorChange:
                if (viewport()->cursor().shape() == Qt::IBeamCursor)
                    viewport()->setCursor(Qt::ArrowCursor);
                break;
            default:
                break;
        }
    }
    return QTextBrowser::eventFilter(watched, event);
}
