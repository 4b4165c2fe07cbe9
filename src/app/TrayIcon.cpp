#include "app/TrayIcon.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

#include "app/Language.h"
#include "app/Resource.h"

const char* const CTrayIcon::kTip = "Strevix";

std::function<bool()> CTrayIcon::s_trayAvailable = [] {
    return QSystemTrayIcon::isSystemTrayAvailable();
};

CTrayIcon::CTrayIcon() = default;

CTrayIcon::~CTrayIcon() {
    Remove();
}

void CTrayIcon::BuildMenu() {
    m_menu = std::make_unique<QMenu>(Tr("托盘菜单"));
    struct Item {
        int id;
        const char* text;
    };
    const Item items[] = {{ID_TRAY_SHOWHIDE, "显示隐藏"},
                          {ID_TRAY_EXIT, "退出终端"},
                          {0, nullptr},
                          {ID_TRAY_ABOUT, "关于我的"}};
    for (const Item& item : items) {
        if (item.text == nullptr) {
            m_menu->addSeparator();
            continue;
        }
        QAction* action = m_menu->addAction(Tr(item.text));
        action->setData(item.id);
        const int id = item.id;
        connect(action, &QAction::triggered, this, [this, id] {
            if (m_onCommand) m_onCommand(id);
        });
    }
    // The first item is the default one (drawn bold).
    m_menu->setDefaultAction(m_menu->actions().first());
}

int CTrayIcon::Create(QWidget* owner, const QIcon& icon, std::function<void(int)> onCommand) {
    m_owner = owner;
    m_onCommand = std::move(onCommand);
    if (owner == nullptr || !s_trayAvailable()) {
        m_shown = 0;
        return 0;
    }
    BuildMenu();
    m_tray = std::make_unique<QSystemTrayIcon>(icon);
    m_tray->setToolTip(Tr(kTip));
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // The context menu is shown by the tray itself.
                if (reason == QSystemTrayIcon::DoubleClick)
                    OnTrayNotification(kIconId, WM_LBUTTONDBLCLK);
            });
    m_tray->show();
    m_shown = 1;
    return 1;
}

int CTrayIcon::OnTrayNotification(int iconId, int mouseMessage) {
    if (iconId != kIconId) return 0;
    if (mouseMessage == WM_RBUTTONUP) {
        if (!m_menu) return 0;
        if (m_owner != nullptr) m_owner->activateWindow();
        m_menu->popup(QCursor::pos());
        return 1;
    }
    if (mouseMessage == WM_LBUTTONDBLCLK) {
        if (!m_menu) return 0;
        if (m_owner != nullptr) m_owner->activateWindow();
        if (m_onCommand) m_onCommand(m_menu->actions().first()->data().toInt());
        return 1;
    }
    return 1;
}

void CTrayIcon::SetIcon(const QIcon& icon) {
    if (m_shown != 1 || !m_tray) return;
    m_tray->setIcon(icon);
}

void CTrayIcon::Remove() {
    if (m_shown != 1) return;
    if (m_tray) m_tray->hide();
    m_tray.reset();
    m_shown = 0;
}

bool CTrayIcon::VisibleNow() const {
    return m_shown == 1 && m_tray && m_tray->isVisible() && s_trayAvailable();
}
