#pragma once

#include <QIcon>
#include <QObject>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;
class QWidget;

// The notification-area icon with its menu (显示隐藏 as default item, 退出终端, 关于我的). Where
// the desktop has no tray the icon is never shown.
class CTrayIcon : public QObject {
    Q_OBJECT
  public:
    static const int kIconId = 134;
    static const char* const kTip;

    CTrayIcon();
    ~CTrayIcon() override;

    // Adds the icon; 1 when shown. onCommand receives the menu's command ids.
    int Create(QWidget* owner, const QIcon& icon, std::function<void(int)> onCommand);
    // The owner's handler of the icon's mouse messages (WM_RBUTTONUP, WM_LBUTTONDBLCLK).
    virtual int OnTrayNotification(int iconId, int mouseMessage);
    // Changes the picture while shown; does nothing otherwise.
    void SetIcon(const QIcon& icon);
    // Removes the icon if it is shown.
    void Remove();

    int Shown() const { return m_shown; }
    // Whether the icon can be seen right now: shown, and the desktop still has a tray (its host
    // may have gone since).
    bool VisibleNow() const;
    QMenu* Menu() const { return m_menu.get(); }
    QSystemTrayIcon* Tray() const { return m_tray.get(); }

    // Whether the desktop has a tray; replaceable for tests.
    static std::function<bool()> s_trayAvailable;

  private:
    void BuildMenu();

    int m_shown = 0;
    QWidget* m_owner = nullptr;
    std::function<void(int)> m_onCommand;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
};
