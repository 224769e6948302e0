#include "app/NotifyIcon.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QMenu>
#include <QTimer>
#include <QWidget>

#include "ui/Icons.h"
#include "ui/Templates.h"
#include "ui/toolkit/Menus.h"

namespace {

// How often the tray's presence is looked at; the icon itself follows the
// tray at once, this only serves the owner.
constexpr int kTrayCheckMs = 2000;

// The first characters of text, without cutting a character in two.
QString Cut(const QString& text, int length) {
    if (text.size() <= length) return text;
    if (length > 0 && text.at(length - 1).isHighSurrogate()) --length;
    return text.left(length);
}

}  // namespace

CNotifyIcon::CNotifyIcon(QWidget* owner, unsigned id, const QString& tip)
    : m_hWnd(owner),
      m_uID(id),
      m_menuId(id),
      statusNotifier_(IsStatusNotifierItem()),
      tray_(new QSystemTrayIcon(this)),
      trayAvailable_(IsTrayAvailable()) {
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnMessage(m_hWnd, m_uID, reason); });
    if (const MenuTemplate* menu = FindMenuTemplate(static_cast<int>(m_menuId));
        menu && !menu->popups.empty()) {
        menu_ = std::make_unique<QMenu>();
        FillPopupMenu(menu_.get(), menu->popups.front(),
                      [this](int command) { emit Command(command); });
        // A StatusNotifierItem host shows the menu itself, from the copy
        // Qt publishes on the bus; an XEmbed tray leaves it to ShowContextMenu.
        if (statusNotifier_) tray_->setContextMenu(menu_.get());
    }
    auto* trayCheck = new QTimer(this);
    connect(trayCheck, &QTimer::timeout, this, &CNotifyIcon::CheckTray);
    trayCheck->start(kTrayCheckMs);
    SetIcon(static_cast<int>(id), tip);
}

CNotifyIcon::~CNotifyIcon() {
    Remove();
    delete tray_;  // before the menu it may publish
}

bool CNotifyIcon::Remove() {
    if (!tray_->isVisible()) return false;
    tray_->hide();
    m_bAdded = false;
    return true;
}

bool CNotifyIcon::SetIcon(int iconId, const QString& tip) {
    if (!m_hWnd) return false;
    const QIcon icon = IconById(iconId);
    if (icon.isNull()) return false;
    return Add(icon, tip.isNull() ? m_pszTip : tip);
}

bool CNotifyIcon::Add(const QIcon& icon, const QString& tip) {
    if (!m_hWnd) return false;
    if (!icon.isNull()) tray_->setIcon(icon);
    if (!tip.isNull()) KeepTip(tip);
    if (tray_->icon().isNull()) {  // Qt shows no icon without a picture
        m_bAdded = false;
        return false;
    }
    tray_->show();
    m_bAdded = IsTrayAvailable();
    return m_bAdded;
}

bool CNotifyIcon::Modify(const QIcon& icon, const QString& tip) {
    if (!m_bAdded) return Add(icon, tip);
    if (!icon.isNull()) tray_->setIcon(icon);
    if (!tip.isNull()) KeepTip(tip);
    m_bAdded = IsTrayAvailable();
    return m_bAdded;
}

bool CNotifyIcon::SetTip(const QString& tip) {
    return Modify(QIcon(), tip);
}

void CNotifyIcon::KeepTip(const QString& tip) {
    m_pszTip = Cut(tip, kKeptTipLength);
    tray_->setToolTip(Cut(m_pszTip, kTrayTipLength));
}

bool CNotifyIcon::ShowContextMenu(QWidget* owner) {
    if (m_menuId == 0 || !menu_) return false;
    if (owner) owner->activateWindow();
    // Centred on the pointer, above it.
    const QSize size = menu_->sizeHint();
    menu_->exec(QCursor::pos() - QPoint(size.width() / 2, size.height()));
    return true;
}

void CNotifyIcon::OnMessage(QWidget* owner, unsigned id, QSystemTrayIcon::ActivationReason reason) {
    if (!owner || owner != m_hWnd || id != m_uID) return;
    switch (reason) {
        case QSystemTrayIcon::Context:
            if (m_pfnRightClick) {
                m_pfnRightClick(owner, id);
            } else {
                ShowContextMenu(owner);
            }
            break;
        case QSystemTrayIcon::Trigger:
            // A StatusNotifierItem host has no double click to pass on; an
            // XEmbed tray reports each press of a double click this way too.
            if (statusNotifier_) RestoreOwner();
            break;
        case QSystemTrayIcon::DoubleClick:
            RestoreOwner();
            break;
        default:
            break;
    }
}

void CNotifyIcon::RestoreOwner() {
    QWidget* owner = m_hWnd;
    if (!owner) return;
    const Qt::WindowStates open = owner->windowState() & ~Qt::WindowMinimized;
    if (owner->isHidden()) {
        // A window hidden while minimised can keep the mark that it is to
        // come back as an icon even after its state reads normal again;
        // stating both afresh clears the mark.
        owner->setWindowState(open | Qt::WindowMinimized);
    }
    owner->setWindowState(open);
    owner->show();
    owner->raise();
    owner->activateWindow();
}

bool CNotifyIcon::IsTrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool CNotifyIcon::IsStatusNotifierItem() {
    // Qt (6.4, as Debian 12 has it) makes its icons StatusNotifierItems
    // when, at the first one, the session bus has a watcher that reports a
    // registered host, and XEmbed icons otherwise, for the rest of the
    // process. Asked the same way just before the first icon is made, the
    // question gets the same answer.
    static const bool statusNotifier = [] {
        const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
        const QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return false;
        QDBusInterface watcher(watcherName, QStringLiteral("/StatusNotifierWatcher"), watcherName,
                               bus);
        return watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
    }();
    return statusNotifier;
}

void CNotifyIcon::CheckTray() {
    const bool available = IsTrayAvailable();
    if (available == trayAvailable_) return;
    trayAvailable_ = available;
    // Qt takes a shown icon out of a tray that goes away and puts it into the
    // next one by itself.
    m_bAdded = available && tray_->isVisible();
    // A hidden owner whose way back went away is shown again, minimised.
    if (!available && tray_->isVisible() && m_hWnd && m_hWnd->isHidden()) m_hWnd->showMinimized();
    emit TrayAvailabilityChanged(available);
}
