#pragma once
// The program's icon in the desktop's notification area (the tray), kept for
// an owner window: it carries a tooltip, turns clicks on the icon into window
// actions and comes back by itself when the tray host is restarted. The main
// window makes one for its whole life, since a main window minimised to the
// tray is hidden and the icon is then the way back to it.
//
// Trays come in two kinds. Current panels (KDE Plasma, Xfce, LXQt, MATE and
// most others) host icons as StatusNotifierItems over D-Bus: the panel draws the icon and its menu,
// and reports a click as an activation, never as a double click. Older trays embed an X window of
// the program's own (XEmbed) and pass on every click. The toolkit picks the kind once per process,
// as the first icon is made.
//
// A tray is not always there (a bare window manager, a desktop without a
// notification area): IsTrayAvailable says whether one is, so the owner can
// keep itself reachable instead of hiding. Should the tray go away while the
// owner is hidden, the owner is shown again, minimised, for the same reason.

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

class QMenu;
class QWidget;

class CNotifyIcon : public QObject {
    Q_OBJECT

  public:
    // Replaces the context menu on a right click. A StatusNotifierItem host
    // shows an icon's menu by itself, so there the handler is called only
    // for an icon without one.
    using RightClickHandler = std::function<void(QWidget* owner, unsigned id)>;

    // The tray shows at most this many characters of a tooltip; the icon
    // keeps up to kKeptTipLength of them for adding it again.
    static constexpr int kTrayTipLength = 63;
    static constexpr int kKeptTipLength = 255;

    // Adds icon id (ui/Icons.h) for owner at once, with tip unless it
    // is null. The id is also the id of the context menu (ui/Templates.h).
    CNotifyIcon(QWidget* owner, unsigned id, const QString& tip = QString());
    ~CNotifyIcon() override;  // removes the icon

    // Takes the icon out of the tray; false when it was not shown.
    bool Remove();
    // Icon iconId with tip (or the tooltip kept) into the tray; false when
    // the owner is gone, there is no such icon, or no tray took it.
    bool SetIcon(int iconId, const QString& tip = QString());
    // Shows the icon in the tray, with a new icon and tooltip unless they are
    // null. True when a tray took it; without a tray the icon waits and
    // appears as soon as one starts.
    bool Add(const QIcon& icon = QIcon(), const QString& tip = QString());
    // As Add for an icon already shown; an icon not yet added is added.
    bool Modify(const QIcon& icon = QIcon(), const QString& tip = QString());
    bool SetTip(const QString& tip);

    // The context menu of the icon's id at the pointer, over owner, its
    // commands going out through Command; false when there is no such menu.
    // A StatusNotifierItem host has the same menu to show by itself.
    bool ShowContextMenu(QWidget* owner);

    // What a click on the icon does: RestoreOwner on a double click, and on
    // a single click where the tray is a StatusNotifierItem host (an XEmbed
    // tray's single click does nothing); a right click calls the right-click
    // handler or shows the context menu. Events of another owner or icon id
    // and other clicks are ignored. The tray icon's clicks arrive here.
    void OnMessage(QWidget* owner, unsigned id, QSystemTrayIcon::ActivationReason reason);

    // Brings the owner back: shown, not minimised, raised and active.
    void RestoreOwner();

    void SetRightClickHandler(RightClickHandler handler) { m_pfnRightClick = std::move(handler); }

    // Whether the desktop has a tray at the moment.
    static bool IsTrayAvailable();
    // Whether this process's icons are StatusNotifierItems rather than
    // XEmbed icons; asked when the first icon is made, then kept.
    static bool IsStatusNotifierItem();

    bool IsAdded() const { return m_bAdded; }
    const QString& Tip() const { return m_pszTip; }  // the whole tooltip kept

  signals:
    // A command of the context menu was chosen. It may come while the menu
    // is still on its way out: a receiver that deletes the icon takes it
    // queued.
    void Command(int id);
    // The desktop's tray came or went.
    void TrayAvailabilityChanged(bool available);

  private:
    void KeepTip(const QString& tip);
    void CheckTray();

    QPointer<QWidget> m_hWnd;
    unsigned m_uID;
    unsigned m_menuId;
    QString m_pszTip;
    bool m_bAdded = false;
    RightClickHandler m_pfnRightClick;
    std::unique_ptr<QMenu> menu_;  // the menu of m_menuId, or null
    bool statusNotifier_;          // decided before tray_ is made
    QSystemTrayIcon* tray_;        // holds the icon; Qt puts it back into a restarted tray
    bool trayAvailable_;
};
