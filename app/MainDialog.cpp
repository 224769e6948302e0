#include "app/MainDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "app/Addresses.h"
#include "app/IndexPage.h"
#include "app/MeterWidget.h"
#include "app/NotifyIcon.h"
#include "app/PortProblem.h"
#include "app/PreviewWidget.h"
#include "app/ViewerAccessFile.h"
#include "media/CapLib.h"
#include "media/LocalAddress.h"
#include "platform/MessageBox.h"
#include "platform/UrlOpener.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "settings/RelayConfig.h"
#include "ui/Dialogs.h"
#include "ui/Help.h"
#include "ui/IconButton.h"
#include "ui/Icons.h"
#include "ui/RelayDialog.h"
#include "ui/Templates.h"
#include "ui/TrayMenuIds.h"
#include "ui/ViewerAccessDialog.h"
#include "ui/toolkit/Menus.h"
#include "web/HttpServer.h"
#include "web/TlsContext.h"
#include "web/ViewerAccess.h"

// The toolbar buttons send their own ids as commands, beside the menu's.
using namespace maindialog;
using namespace mainmenu;

namespace {

constexpr int kClientTimeoutMs = 30000;

// The toolbar: each button's icon and tooltip.
struct ToolbarButton {
    int id;
    int icon;
    const char* tip;
};
constexpr ToolbarButton kToolbar[] = {
    {kStartButton, kStartIconId, "Start server"},
    {kStopButton, kStopIconId, "Stop server"},
    {kHelpButton, kHelpIconId, "Open help"},
    {kConnectButton, kRemoteServerIconId, "Connect to remote server"},
    {kSetupButton, kServerSetupIconId, "Server setup"},
};

// The tray icon shows the program's icon and has the tray menu.
constexpr int kTrayIconId = kProgramIconId;
static_assert(kTrayIconId == kTrayMenuId);

}  // namespace

CMainDialog::CMainDialog(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_hIcon(IconById(kProgramIconId)) {
    client_ = new QWidget(this);
    controls_ = BuildDialog(client_, *FindDialogTemplate(kMainDialogId),
                            [this](const ControlTemplate& control, QWidget* parent) {
                                return MakeControl(control, parent);
                            });
    setWindowTitle(QString::fromLocal8Bit(FindDialogTemplate(kMainDialogId)->caption));
    userCount_ = controls_.Get<QLabel>(kUserCountControl);
    connectionUrl_ = controls_.Get<QLineEdit>(kConnectionUrlControl);
    relayState_ = controls_.Get<QLabel>(kRelayStateControl);
    ipv6Url_ = controls_.Get<QLineEdit>(kIpv6UrlControl);
    meterScale_ = controls_.Get<QSlider>(kMeterScaleControl);
    for (int id : {kStartButton, kStopButton, kSetupButton, kConnectButton, kHelpButton}) {
        auto* button = qobject_cast<QAbstractButton*>(controls_.Find(id));
        connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(client_);
}

CMainDialog::~CMainDialog() {
    if (initialised_) OnDestroy();
}

QWidget* CMainDialog::MakeControl(const ControlTemplate& control, QWidget* parent) {
    for (const ToolbarButton& button : kToolbar) {
        if (control.id == button.id) return new IconButton(parent);
    }
    switch (control.id) {
        case kPreviewControl:
            return preview_ = new PreviewWidget(parent);
        case kMeterControl:
            return meter_ = new MeterWidget(parent);
        default:
            return nullptr;
    }
}

void CMainDialog::OnInitDialog() {
    if (initialised_) return;
    initialised_ = true;

    setWindowIcon(m_hIcon);
    m_menu = BuildMenuBar(MainMenuTemplate(), this, [this](int id) { OnCommand(id); });
    layout()->setMenuBar(m_menu);

    std::string accessProblem;
    access_ = std::make_unique<ViewerAccess>(LoadViewerAccess(&accessProblem));
    if (!accessProblem.empty()) {
        QTimer::singleShot(0, this, [accessProblem] {
            MessageBox(accessProblem.c_str(), "Warning", MB_OK | MB_ICONEXCLAMATION);
        });
    }
    OpenTls();
    StartWebServer();

    m_pCapture = std::make_unique<CapLib>();
    session_ = std::make_unique<BroadcastSession>(m_pCapture.get(), this);
    meter_->SetSession(session_.get());
    session_->ConfigureCapture(BroadcastSettingsFrom(g_settings));

    for (const ToolbarButton& button : kToolbar) {
        static_cast<IconButton*>(controls_.Find(button.id))->SetTip(button.tip, true);
    }
    GiveButtonsTheirIcons();
    EnableStartButton(true);
    EnableStopButton(false);

    session_->SetMeterWidth(meter_->width());
    meterScale_->setRange(kMeterScaleRange.low, kMeterScaleRange.high);
    meterScale_->setValue(g_settings.meterScale);

    move(g_settings.mainWindowLeft, g_settings.mainWindowTop);

    if (g_settings.autoStartServer) StartBroadcast(SettingsForBroadcast());

    m_pTrayIcon = new CNotifyIcon(this, kTrayIconId);
    m_pTrayIcon->SetTip("Lumacast!");
    // Queued: Exit deletes the icon, whose menu is still closing.
    connect(m_pTrayIcon, &CNotifyIcon::Command, this, &CMainDialog::OnCommand,
            Qt::QueuedConnection);

    session_->m_bHidePending = g_settings.minimizeToTray != 0;
}

void CMainDialog::StartWebServer() {
    // Nothing goes out in the clear when encryption was asked for.
    if (!tlsProblem_.empty()) return;
    m_pWebServer = std::make_unique<HttpServer>(ViewerFiles());
    m_pWebServer->SetViewerAccess(access_.get());
    m_pWebServer->SetTls(tls_.get());
    const int port = g_settings.httpPort;
    if (m_pWebServer->Start(filesDir, "index.htm", port, kClientTimeoutMs)) return;
    // Viewers would be handed a page address that answers nobody: the user
    // hears of it at once, over the window, and the window works regardless.
    const std::string text =
        PortProblemText(PortRole::WebServer, port, m_pWebServer->ListenError());
    QTimer::singleShot(0, this,
                       [text] { MessageBox(text.c_str(), "Warning", MB_OK | MB_ICONEXCLAMATION); });
}

void CMainDialog::GiveButtonsTheirIcons() {
    for (const ToolbarButton& button : kToolbar) {
        auto* iconButton = static_cast<IconButton*>(controls_.Find(button.id));
        iconButton->LoadIcons(button.icon);
        iconButton->ResetHotBackColor(false);
        iconButton->ResetHotTextColor(false);
        iconButton->ResetNormalBackColor(false);
        iconButton->ResetNormalTextColor(false);
    }
}

void CMainDialog::DeleteTrayIcon() {
    delete m_pTrayIcon;  // takes the icon out of the tray
    m_pTrayIcon = nullptr;
}

void CMainDialog::OnCommand(int id) {
    switch (id) {
        case kRunServer:
        case kStartButton:
            StartBroadcast(SettingsForBroadcast());
            break;
        case kStopServer:
        case kStopButton:
            session_->StopBroadcast();
            break;
        case kServerSetup:
        case kSetupButton:
            ServerSetupFlow();
            break;
        case kOptions:
            // The capture thread draws the caption from its own copy, which
            // only an accepted dialog replaces.
            if (RunOptionsDialog(this) == IDOK) session_->SetCaption(CaptionChoiceFrom(g_settings));
            break;
        case kRelay:
            // Takes effect at the broadcast's next start.
            RunRelayDialog(this, RelayConfigPath().c_str());
            break;
        case kViewerAccess:
            ViewerAccessFlow();
            break;
        case kRemoteServers:
        case kConnectButton:
            RunServersDialog(this);
            break;
        case kSaveConfiguration:
            SaveConfigCommand();
            break;
        case kExit:
            ExitSequence();
            break;
        case kHelpTopics:
        case kHelpButton:
            ShowHelpTopic(nullptr);
            break;
        case kEmailSupport:
            OpenUrl(kSupportMailUrl);
            break;
        case kWebSite:
            OpenUrl(kWebSiteUrl);
            break;
        case kAbout:
            ShowAbout();
            break;
        case traymenu::kRestore:
            if (m_pTrayIcon) m_pTrayIcon->RestoreOwner();
            break;
        default:
            break;
    }
}

void CMainDialog::ServerSetupFlow() {
    const bool wasRunning = session_->IsRunning();
    if (wasRunning) session_->StopBroadcast();
    // Cancelled: a broadcast stopped for the dialog stays stopped.
    if (RunServerSetup(this, m_pCapture.get(), preview_) != IDOK) return;
    configChanged = true;
    const BroadcastSettings settings = SettingsForBroadcast();
    session_->ConfigureCapture(settings);
    if (wasRunning) StartBroadcast(settings);
    // A new web server, so that a new HTTP port takes effect at once.
    if (m_pWebServer) m_pWebServer->Shutdown();
    StartWebServer();
}

BroadcastSettings CMainDialog::SettingsForBroadcast() const {
    BroadcastSettings settings = BroadcastSettingsWithRelay(g_settings);
    settings.access = access_.get();
    settings.tls = tls_.get();
    return settings;
}

void CMainDialog::OpenTls() {
    tls_ = OpenViewerTls(access_->Settings(), &tlsProblem_);
    if (tlsProblem_.empty()) return;
    const std::string text =
        tlsProblem_ + "\nNothing is served until HTTPS works or is turned off.";
    QTimer::singleShot(0, this,
                       [text] { MessageBox(text.c_str(), "Warning", MB_OK | MB_ICONEXCLAMATION); });
}

void CMainDialog::StartBroadcast(const BroadcastSettings& settings) {
    if (!tlsProblem_.empty()) {
        MessageBox(tlsProblem_.c_str(), "Warning", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    session_->StartBroadcast(settings);
}

void CMainDialog::ViewerAccessFlow() {
    char page[64] = {};
    FormatConnectionUrl(LocalIpv4Addresses(), static_cast<std::uint32_t>(g_settings.httpPort), page,
                        sizeof page);
    const std::string fingerprint = tls_ ? tls_->Fingerprint() : std::string();
    // The link viewers are given follows the scheme the ports speak.
    std::string address = std::string(page) + "/";
    if (tls_ && address.rfind("http://", 0) == 0) address.insert(4, "s");
    if (RunViewerAccessDialog(this, AccessConfigPath().c_str(), address, fingerprint) != IDOK)
        return;
    // The new rule holds at once, for the page and the stream.
    std::string problem;
    const AccessSettings before = access_->Settings();
    access_->SetSettings(LoadViewerAccess(&problem));
    if (!problem.empty()) MessageBox(problem.c_str(), "Warning", MB_OK | MB_ICONEXCLAMATION);
    const AccessSettings now = access_->Settings();
    if (now.tls == before.tls && now.certificate == before.certificate && now.key == before.key) {
        session_->AccessChanged();
        return;
    }
    // The ports' TLS is set as they open: both open again.
    const bool wasRunning = session_->IsRunning();
    if (wasRunning) session_->StopBroadcast();
    if (m_pWebServer) m_pWebServer->Shutdown();
    m_pWebServer.reset();
    OpenTls();
    StartWebServer();
    if (wasRunning) StartBroadcast(SettingsForBroadcast());
}

void CMainDialog::ShowAbout() {
    QDialog about(this);
    about.setWindowFlags(about.windowFlags() & ~Qt::WindowContextHelpButtonHint);
    const DialogControls controls = BuildDialog(&about, *FindDialogTemplate(kAboutDialogId));
    connect(controls.Get<QPushButton>(IDOK), &QPushButton::clicked, &about, &QDialog::accept);
    if (auto* icon = qobject_cast<QLabel*>(controls.All().front().widget)) {
        icon->setPixmap(windowIcon().pixmap(32, 32));
    }
    about.exec();
}

void CMainDialog::ExitSequence() {
    DeleteTrayIcon();
    CapLib* capture = m_pCapture.get();
    if (capture) capture->Close();
    if (m_pWebServer) {
        m_pWebServer->Shutdown();
        m_pWebServer.reset();
    }
    AskToSaveConfig();
    savePromptAsked_ = true;
    // Ends the window's modal loop with exit code 0; the window is then destroyed.
    exiting_ = true;
    done(0);
}

void CMainDialog::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    const QPoint corner = pos();
    g_settings.mainWindowLeft = corner.x();
    g_settings.mainWindowTop = corner.y();
    if (m_pCapture) m_pCapture->Close();
    if (m_pWebServer) {
        m_pWebServer->Shutdown();
        m_pWebServer.reset();
    }
    if (!savePromptAsked_) AskToSaveConfig();
    savePromptAsked_ = true;
}

void CMainDialog::accept() {
    if (m_bCloseAllowed) QDialog::accept();
}

void CMainDialog::reject() {
    if (m_bCloseAllowed) QDialog::reject();
}

void CMainDialog::done(int result) {
    if (!m_bCloseAllowed && !exiting_) return;
    OnDestroy();
    QDialog::done(result);
}

void CMainDialog::closeEvent(QCloseEvent* event) {
    // The close box: from now on the dialog may end, and the tray icon goes.
    m_bCloseAllowed = 1;
    DeleteTrayIcon();
    QDialog::closeEvent(event);
}

void CMainDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized()) {
        // A minimised main window lives only as its tray icon; without a
        // tray it stays minimised, so that the user can get it back.
        if (m_pTrayIcon && CNotifyIcon::IsTrayAvailable()) hide();
    } else if (event->type() == QEvent::PaletteChange) {
        GiveButtonsTheirIcons();
    }
}

void CMainDialog::EnableStartButton(bool enabled) {
    controls_.Find(kStartButton)->setEnabled(enabled);
}

void CMainDialog::EnableStopButton(bool enabled) {
    controls_.Find(kStopButton)->setEnabled(enabled);
}

void CMainDialog::SetUserCount(const std::string& text) {
    userCount_->setText(QString::fromStdString(text));
}

void CMainDialog::SetConnectionUrl(const std::string& url, const std::string& invite) {
    // While only the invited watch, the box holds the link to hand out.
    const std::string shown =
        invite.empty() || url.rfind("http", 0) != 0
            ? url
            : ViewerPageAddress(url, g_settings.httpPort) + InviteQuery(invite);
    connectionUrl_->setText(QString::fromStdString(shown));
}

void CMainDialog::SetIpv6Url(const std::string& url, const std::string& invite) {
    // The viewers' page at that address, with the link's token where the
    // invited alone may watch.
    ipv6Url_->setText(url.empty()
                          ? QString()
                          : QString::fromStdString(ViewerPageAddress(url, g_settings.httpPort) +
                                                   InviteQuery(invite)));
}

void CMainDialog::SetRelayState(const std::string& line, bool) {
    relayState_->setText(QString::fromStdString(line));
}

void CMainDialog::InvalidateMeter() {
    meter_->Invalidate();
}

void CMainDialog::SetWaitCursor(bool waiting) {
    if (waiting) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++waitCursors_;
    } else if (waitCursors_ > 0) {
        QApplication::restoreOverrideCursor();
        --waitCursors_;
    }
}

void CMainDialog::HideWindow() {
    // Hidden, the window is reached through its tray icon; without a tray it
    // is minimised instead.
    if (m_pTrayIcon && CNotifyIcon::IsTrayAvailable()) {
        hide();
    } else {
        showMinimized();
    }
}

int CMainDialog::MeterScalePosition() {
    return meterScale_->value();
}

capture::PreviewSurface* CMainDialog::PreviewWindow() {
    return preview_;
}

void CMainDialog::ShowDeviceNotice(const std::string& text) {
    // Not modal: the broadcast goes on while the box is up. What comes while
    // it is open is added below, so a device lost and back reads in order.
    const QString line = QString::fromLocal8Bit(text.c_str());
    if (!deviceNotice_) {
        deviceNotice_ = new QMessageBox(QMessageBox::Warning, QStringLiteral("Capture devices"),
                                        line, QMessageBox::Ok, this);
        deviceNotice_->setWindowModality(Qt::NonModal);
    } else if (deviceNotice_->isVisible()) {
        deviceNotice_->setText(deviceNotice_->text() + QStringLiteral("\n\n") + line);
    } else {
        deviceNotice_->setText(line);
    }
    deviceNotice_->show();
}
