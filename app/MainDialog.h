#pragma once
// The main window: the preview, the audio meter with its scale, the viewer
// count and the stream's address, the toolbar of icon buttons and the menu.
// It owns the capture library, the web server and the broadcast session for
// its whole life, and is the session's view. It closes only by the Exit
// command or the window's close box; Enter and Escape do nothing until the
// close box was used.

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <atomic>
#include <memory>

#include "app/BroadcastSession.h"
#include "ui/MainDialogIds.h"
#include "ui/MainMenuIds.h"
#include "ui/toolkit/DialogBuilder.h"

class CapLib;
class TlsContext;
class ViewerAccess;
class CNotifyIcon;
class HttpServer;
class MeterWidget;
class PreviewWidget;
class QLabel;
class QLineEdit;
class QMenuBar;
class QSlider;

class CMainDialog : public QDialog, public SessionView {
    Q_OBJECT

  public:
    explicit CMainDialog(QWidget* parent = nullptr);
    ~CMainDialog() override;

    // The window's initialisation, once, before it is first shown: web
    // server, capture, toolbar, meter, position, auto start, tray icon.
    void OnInitDialog();

    // A command by its id: a menu command (ui/MainMenuIds.h) or a toolbar
    // button's id (ui/MainDialogIds.h).
    void OnCommand(int id);

    // SessionView.
    void EnableStartButton(bool enabled) override;
    void EnableStopButton(bool enabled) override;
    void SetUserCount(const std::string& text) override;
    void SetConnectionUrl(const std::string& url, const std::string& invite) override;
    void SetIpv6Url(const std::string& url, const std::string& invite) override;
    void InvalidateMeter() override;
    void SetWaitCursor(bool waiting) override;
    void HideWindow() override;
    int MeterScalePosition() override;
    capture::PreviewSurface* PreviewWindow() override;
    void ShowDeviceNotice(const std::string& text) override;
    void SetRelayState(const std::string& line, bool newState) override;

    // What tests and the toolbar look at.
    BroadcastSession& Session() { return *session_; }
    CapLib* Capture() const { return m_pCapture.get(); }
    HttpServer* WebServer() const { return m_pWebServer.get(); }
    // A control by its template id (ui/MainDialogIds.h).
    QWidget* Control(int id) const { return controls_.Find(id); }
    QMenuBar* MenuBar() const { return m_menu; }
    PreviewWidget* Preview() const { return preview_; }
    MeterWidget* Meter() const { return meter_; }
    bool CloseAllowed() const { return m_bCloseAllowed != 0; }
    CNotifyIcon* TrayIcon() const { return m_pTrayIcon; }
    // The box that tells of the chosen devices, once there was anything to tell.
    QMessageBox* DeviceNotice() const { return deviceNotice_; }

  public slots:
    void done(int result) override;
    void accept() override;
    void reject() override;

  protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QWidget* MakeControl(const ControlTemplate& control, QWidget* parent);
    void StartWebServer();
    void DeleteTrayIcon();
    void GiveButtonsTheirIcons();
    void ServerSetupFlow();
    void ViewerAccessFlow();
    // Opens HTTPS as the access settings ask (tlsProblem_ says why not).
    void OpenTls();
    // Starts a broadcast, unless HTTPS was asked for and is not there.
    void StartBroadcast(const BroadcastSettings& settings);
    // The broadcast's settings now, with the relay's and the access rule.
    BroadcastSettings SettingsForBroadcast() const;
    void ExitSequence();
    void OnDestroy();
    void ShowAbout();

    QMenuBar* m_menu = nullptr;
    int m_bCloseAllowed = 0;
    std::unique_ptr<CapLib> m_pCapture;
    std::unique_ptr<ViewerAccess> access_;  // before the servers that ask it
    std::unique_ptr<TlsContext> tls_;       // likewise
    std::string tlsProblem_;
    std::unique_ptr<HttpServer> m_pWebServer;
    std::unique_ptr<BroadcastSession> session_;
    CNotifyIcon* m_pTrayIcon = nullptr;
    QIcon m_hIcon;

    QWidget* client_ = nullptr;
    DialogControls controls_;
    PreviewWidget* preview_ = nullptr;
    MeterWidget* meter_ = nullptr;
    QLabel* userCount_ = nullptr;
    QLineEdit* connectionUrl_ = nullptr;
    QLabel* relayState_ = nullptr;
    QLineEdit* ipv6Url_ = nullptr;
    QSlider* meterScale_ = nullptr;
    QPointer<QMessageBox> deviceNotice_;
    int waitCursors_ = 0;
    bool initialised_ = false;
    bool destroyed_ = false;
    bool savePromptAsked_ = false;
    bool exiting_ = false;
};
