#include "app/NotifyIcon.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QTimer>
#include <QWidget>

#include "ui/Icons.h"
#include "ui/Templates.h"

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
      tray_(new QSystemTrayIcon(this)),
      trayAvailable_(IsTrayAvailable()) {
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnMessage(m_hWnd, m_uID, reason); });
    auto* trayCheck = new QTimer(this);
    connect(trayCheck, &QTimer::timeout, this, &CNotifyIcon::CheckTray);
    trayCheck->start(kTrayCheckMs);
    SetIcon(static_cast<int>(id), tip);
}

CNotifyIcon::~CNotifyIcon() {
    Remove();
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
    if (m_menuId == 0) return false;
    const MenuTemplate* menu = FindMenuTemplate(static_cast<int>(m_menuId));
    if (!menu || menu->popups.empty()) return false;

    QMenu popup(owner);
    for (const MenuItemTemplate& item : menu->popups.front().items) {
        if (item.id == 0) {
            popup.addSeparator();
            continue;
        }
        const int command = item.id;
        connect(popup.addAction(QString::fromLocal8Bit(item.text)), &QAction::triggered, this,
                [this, command] { emit Command(command); });
    }
    if (owner) owner->activateWindow();
    // Centred on the pointer, above it.
    const QSize size = popup.sizeHint();
    popup.exec(QCursor::pos() - QPoint(size.width() / 2, size.height()));
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
        case QSystemTrayIcon::DoubleClick:
            ShowOwner();
            break;
        default:
            break;
    }
}

void CNotifyIcon::ShowOwner() {
    QWidget* owner = m_hWnd;
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
