// The main window as a user meets it, offscreen: its commands from the menu
// and the toolbar, Enter and Escape, closing and exiting with the save
// prompt, the stored position, hiding once a broadcast runs, and the window
// side of a real broadcast on the test devices (preview, meter, viewer count,
// stream address).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/BroadcastApp.h"
#include "app/MainDialog.h"
#include "app/MeterWidget.h"
#include "app/NotifyIcon.h"
#include "app/PreviewWidget.h"
#include "diag/ProgramPath.h"
#include "media/CapLib.h"
#include "media/LocalAddress.h"
#include "platform/ListenSocket.h"
#include "platform/MessageBox.h"
#include "platform/UrlOpener.h"
#include "settings/AppSettings.h"
#include "tests/support/GuiTest.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDevices.h"
#include "tests/support/TestRuntimes.h"
#include "ui/HelpWindow.h"
#include "ui/MainDialogIds.h"
#include "ui/MainMenuIds.h"
#include "ui/MainOptions.h"
#include "ui/OutputSetupDlg.h"
#include "ui/OutputSetupIds.h"
#include "ui/ViewerAccessDialogIds.h"
#include "ui/toolkit/Menus.h"

namespace fs = std::filesystem;
using namespace maindialog;
using namespace mainmenu;
using testsupport::WaitFor;

namespace {

constexpr char kSavePrompt[] = "Do you want to save current configuration?";

class MainDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApplication();
        setenv("LUMACAST_FAKE_DEVICES", "only", 1);
        fs::create_directories(folder_.Path() / "state");
        setenv("XDG_STATE_HOME", (folder_.Path() / "state").c_str(), 1);
        SetProgramPath(folder_ / "lumasrv.bin");
        DetermineProgramDir();
        g_settings = AppSettings{};
        configChanged = false;
        g_settings.httpPort = testsupport::FreeTcpPort();
        g_settings.asfPort = testsupport::FreeTcpPort();
        // These tests watch as anyone may; the access rule has its own.
        testsupport::WriteWholeFile(folder_ / "access.cfg", "viewers=everyone\n");
    }

    void TearDown() override {
        window_.reset();
        SetProgramPath("");
    }

    void UseTestDevices() {
        ASSERT_TRUE(testsupport::ChooseTestDevices(g_settings));
        g_settings.videoFramesPerSecond = 10;
    }

    CMainDialog& Open() {
        window_ = std::make_unique<CMainDialog>();
        window_->OnInitDialog();
        window_->show();
        return *window_;
    }

    QAbstractButton* Button(int id) const {
        return qobject_cast<QAbstractButton*>(window_->Control(id));
    }
    QString UserCount() const {
        return qobject_cast<QLabel*>(window_->Control(kUserCountControl))->text();
    }
    QString Url() const {
        return qobject_cast<QLineEdit*>(window_->Control(kConnectionUrlControl))->text();
    }
    void Menu(int id) const { FindMenuCommand(window_->MenuBar(), id)->trigger(); }

    testsupport::TempFolder folder_{"lumadesktop"};
    RecordingMessageBoxes boxes_;
    std::unique_ptr<CMainDialog> window_;
};

// Start and Stop from the menu and from the toolbar, with the buttons'
// states, the stream address and a second Start that does nothing.
TEST_F(MainDialogTest, StartAndStopByMenuAndButton) {
    UseTestDevices();
    CMainDialog& window = Open();
    EXPECT_TRUE(Button(kStartButton)->isEnabled());
    EXPECT_FALSE(Button(kStopButton)->isEnabled());
    EXPECT_EQ(Url(), "");

    struct Route {
        bool startByButton;
        bool stopByButton;
    };
    for (const Route route : {Route{false, false}, Route{true, true}, Route{false, true}}) {
        SCOPED_TRACE(::testing::Message() << route.startByButton << route.stopByButton);
        if (route.startByButton) {
            QTest::mouseClick(Button(kStartButton), Qt::LeftButton);
        } else {
            Menu(kRunServer);
        }
        ASSERT_TRUE(window.Session().IsRunning());
        EXPECT_FALSE(Button(kStartButton)->isEnabled());
        EXPECT_TRUE(Button(kStopButton)->isEnabled());
        EXPECT_TRUE(Url().startsWith("http://")) << Url().toStdString();
        EXPECT_TRUE(Url().endsWith(":" + QString::number(g_settings.asfPort)));
        EXPECT_TRUE(fs::exists(folder_.Path() / "index.htm"));
        const QString url = Url();

        Menu(kRunServer);  // already broadcasting: nothing happens
        EXPECT_TRUE(window.Session().IsRunning());
        EXPECT_EQ(Url(), url);

        if (route.stopByButton) {
            QTest::mouseClick(Button(kStopButton), Qt::LeftButton);
        } else {
            Menu(kStopServer);
        }
        EXPECT_FALSE(window.Session().IsRunning());
        EXPECT_TRUE(Button(kStartButton)->isEnabled());
        EXPECT_FALSE(Button(kStopButton)->isEnabled());
        EXPECT_EQ(Url(), "");
        EXPECT_EQ(UserCount(), "0");
        Menu(kStopServer);  // not broadcasting: nothing happens
    }
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(MainDialogTest, StartWithoutDevicesAsksForSetup) {
    Open();
    QTest::mouseClick(Button(kStartButton), Qt::LeftButton);
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text,
              "No audio/video capture devices selected.\nDo setup before staring server");
    EXPECT_EQ(boxes_.Boxes()[0].type & MB_ICONMASK, MB_ICONINFORMATION);
    EXPECT_FALSE(window_->Session().IsRunning());
    EXPECT_TRUE(Button(kStartButton)->isEnabled());
}

TEST_F(MainDialogTest, EnterAndEscapeDoNotClose) {
    CMainDialog& window = Open();
    QSignalSpy finished(&window, &QDialog::finished);
    for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(&window, static_cast<Qt::Key>(key));
        testsupport::ProcessEventsFor(std::chrono::milliseconds(50));
        EXPECT_TRUE(window.isVisible()) << key;
    }
    EXPECT_EQ(finished.count(), 0);
    EXPECT_FALSE(window.Session().IsRunning());  // Enter pressed no button either
}

// The Exit command asks about unsaved changes exactly once, whatever the
// answer, and only when there are some; the window then ends.
TEST_F(MainDialogTest, ExitAsksToSaveOnceWhenChanged) {
    struct Case {
        bool changed;
        int answer;
        std::size_t boxes;
        bool saved;
    };
    for (const Case c :
         {Case{true, IDYES, 1, true}, Case{true, IDNO, 1, false}, Case{false, IDYES, 0, false}}) {
        SCOPED_TRACE(::testing::Message() << c.changed << " " << c.answer);
        fs::remove(folder_.Path() / "lumasrv.cfg");
        boxes_.Clear();
        configChanged = c.changed;
        boxes_.QueueAnswer(c.answer);
        CMainDialog& window = Open();
        QSignalSpy finished(&window, &QDialog::finished);
        Menu(kExit);
        EXPECT_EQ(finished.count(), 1);
        EXPECT_FALSE(window.isVisible());
        window_.reset();  // the window is destroyed: no second question
        EXPECT_EQ(boxes_.Count(), c.boxes);
        for (const auto& box : boxes_.Boxes()) {
            EXPECT_EQ(box.text, kSavePrompt);
            EXPECT_EQ(box.type & MB_ICONMASK, MB_ICONQUESTION);
        }
        EXPECT_EQ(fs::exists(folder_.Path() / "lumasrv.cfg"), c.saved);
    }
}

// The close box ends the window without the stop sequence: the broadcast is
// still on when the window has gone, and nobody is asked about it. The
// window's position is kept for the next start.
TEST_F(MainDialogTest, CloseBoxWhileBroadcastingKeepsTheStreamAndStoresThePosition) {
    UseTestDevices();
    g_settings.mainWindowLeft = 150;
    g_settings.mainWindowTop = 130;
    CMainDialog& window = Open();
    EXPECT_EQ(window.pos(), QPoint(150, 130));
    Menu(kRunServer);
    ASSERT_TRUE(window.Session().IsRunning());
    window.move(321, 234);
    QSignalSpy finished(&window, &QDialog::finished);
    EXPECT_TRUE(window.close());
    EXPECT_EQ(finished.count(), 1);
    EXPECT_TRUE(window.CloseAllowed());
    EXPECT_TRUE(window.Session().IsRunning());
    EXPECT_FALSE(Url().isEmpty());
    EXPECT_EQ(boxes_.Count(), 0u);
    EXPECT_EQ(g_settings.mainWindowLeft, 321);
    EXPECT_EQ(g_settings.mainWindowTop, 234);
    EXPECT_EQ(window.WebServer(), nullptr);  // shut down with the window
}

// With "minimize to tray" and no auto start the window stays up until the
// first broadcast runs, goes within a second of it, and only once. Offscreen
// there is no tray, so it goes to a minimised window rather than out of
// reach; minimising by hand likewise keeps it minimised. (With a tray, the
// desktop end-to-end test sees it hidden and brought back by the icon.)
TEST_F(MainDialogTest, MinimizeToTrayGoesAtTheFirstBroadcastOnly) {
    UseTestDevices();
    g_settings.minimizeToTray = 1;
    CMainDialog& window = Open();
    ASSERT_FALSE(CNotifyIcon::IsTrayAvailable());
    testsupport::ProcessEventsFor(std::chrono::milliseconds(1500));
    EXPECT_FALSE(window.isMinimized());
    Menu(kRunServer);
    EXPECT_TRUE(WaitFor([&] { return window.isMinimized(); }, std::chrono::seconds(3)));

    window.showNormal();
    Menu(kStopServer);
    Menu(kRunServer);
    testsupport::ProcessEventsFor(std::chrono::milliseconds(1500));
    EXPECT_FALSE(window.isMinimized());
    window.showMinimized();
    testsupport::ProcessEventsFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(window.isMinimized());
}

TEST_F(MainDialogTest, AutoStartBroadcastsAtOnce) {
    UseTestDevices();
    g_settings.autoStartServer = 1;
    CMainDialog& window = Open();
    EXPECT_TRUE(window.Session().IsRunning());
    EXPECT_FALSE(Button(kStartButton)->isEnabled());
}

TEST_F(MainDialogTest, MeterScaleIsReadIntoTheSettingsByTheStatusTimer) {
    UseTestDevices();
    g_settings.meterScale = 5000;
    CMainDialog& window = Open();
    auto* scale = qobject_cast<QSlider*>(window.Control(kMeterScaleControl));
    EXPECT_EQ(scale->minimum(), 100);
    EXPECT_EQ(scale->maximum(), 32767);
    EXPECT_EQ(scale->value(), 5000);
    scale->setValue(700);
    EXPECT_EQ(g_settings.meterScale, 5000);  // not before the next status tick
    Menu(kRunServer);
    EXPECT_TRUE(WaitFor([] { return g_settings.meterScale == 700; }, std::chrono::seconds(4)));
    EXPECT_FALSE(configChanged);  // the trackbar alone never asks to save
}

// What ffprobe sees of a stream: "video" and "audio" lines. The window's
// event loop runs meanwhile: its frame timer writes the pictures.
std::string Probe(const std::string& url) {
    std::string seen;
    testsupport::RunWhilePumping(
        "timeout 30 ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + url +
            "' < /dev/null",
        &seen, std::chrono::seconds(60));
    return seen;
}

// Server setup while broadcasting, confirmed with new ports: the broadcast
// runs again on the new stream port, the web server answers on the new HTTP
// port, and the old ports are closed.
TEST_F(MainDialogTest, ServerSetupWithNewPortsRestartsTheBroadcastAndTheWebServer) {
    UseTestDevices();
    CMainDialog& window = Open();
    Menu(kRunServer);
    ASSERT_TRUE(window.Session().IsRunning());
    const int oldAsf = g_settings.asfPort, oldHttp = g_settings.httpPort;
    ASSERT_TRUE(testsupport::AcceptsConnections(oldAsf));
    ASSERT_TRUE(testsupport::AcceptsConnections(oldHttp));
    const int newAsf = testsupport::FreeTcpPort(), newHttp = testsupport::FreeTcpPort();
    bool sawStopped = false;
    testsupport::WhenModal<OutputSetupDlg>([&](OutputSetupDlg* dialog) {
        sawStopped = !window.Session().IsRunning() && !testsupport::AcceptsConnections(oldAsf);
        const DialogControls& controls = dialog->Controls();
        controls.Get<QLineEdit>(outputsetup::kAsfPortField)->setText(QString::number(newAsf));
        controls.Get<QLineEdit>(outputsetup::kHttpPortField)->setText(QString::number(newHttp));
        controls.Get<QPushButton>(IDOK)->click();
    });
    QTest::mouseClick(Button(kSetupButton), Qt::LeftButton);
    EXPECT_TRUE(sawStopped) << "the broadcast stops while the dialog is open";
    EXPECT_TRUE(configChanged);
    ASSERT_TRUE(window.Session().IsRunning());
    EXPECT_TRUE(Url().endsWith(":" + QString::number(newAsf))) << Url().toStdString();
    EXPECT_FALSE(testsupport::AcceptsConnections(oldAsf));
    EXPECT_FALSE(testsupport::AcceptsConnections(oldHttp));
    EXPECT_TRUE(testsupport::AcceptsConnections(newHttp));
    const std::string probe = Probe("http://127.0.0.1:" + std::to_string(newAsf) + "/MyFile.wma");
    EXPECT_NE(probe.find("video"), std::string::npos) << probe;
    EXPECT_NE(probe.find("audio"), std::string::npos) << probe;
}

// The web server's port is taken, at start and after Server setup: each time
// the user is told at once which port, why and what to do, and a port that
// is free again serves the page.
TEST_F(MainDialogTest, ATakenHttpPortIsSaidAtOnce) {
    const int taken = g_settings.httpPort;
    const UniqueFd holder = OpenListenSocket(static_cast<std::uint16_t>(taken), nullptr, nullptr);
    ASSERT_TRUE(holder);
    const auto said = [](int port) {
        return "The web server cannot listen on HTTP port " + std::to_string(port) +
               ": another program, or another copy of Lumacast, already uses it.\nViewers "
               "cannot open the viewers' page until it does.\n\nChoose another HTTP port in "
               "Server setup, then save the configuration.";
    };
    Open();
    ASSERT_TRUE(WaitFor([&] { return boxes_.Count() == 1; }));
    EXPECT_EQ(boxes_.Boxes()[0].text, said(taken));
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<unsigned>(MB_OK | MB_ICONEXCLAMATION));

    const auto setUp = [this](int port) {
        testsupport::WhenModal<OutputSetupDlg>([port](OutputSetupDlg* dialog) {
            const DialogControls& controls = dialog->Controls();
            controls.Get<QLineEdit>(outputsetup::kHttpPortField)->setText(QString::number(port));
            controls.Get<QPushButton>(IDOK)->click();
        });
        Menu(kServerSetup);
    };
    // The same port, still taken: said again, once the dialog has closed.
    setUp(taken);
    ASSERT_TRUE(WaitFor([&] { return boxes_.Count() == 2; }));
    EXPECT_EQ(boxes_.Boxes()[1].text, said(taken));

    const int free = testsupport::FreeTcpPort();
    setUp(free);
    EXPECT_TRUE(testsupport::AcceptsConnections(free));
    QApplication::processEvents();  // where a box would have been shown
    EXPECT_EQ(boxes_.Count(), 2u);
}

// Cancelled while broadcasting: the broadcast stopped for the dialog stays
// stopped, and nothing asks to be saved.
TEST_F(MainDialogTest, ServerSetupCancelledLeavesTheBroadcastStopped) {
    UseTestDevices();
    CMainDialog& window = Open();
    Menu(kRunServer);
    ASSERT_TRUE(window.Session().IsRunning());
    testsupport::WhenModal<OutputSetupDlg>(
        [](OutputSetupDlg* dialog) { dialog->Controls().Get<QPushButton>(IDCANCEL)->click(); });
    Menu(kServerSetup);
    EXPECT_FALSE(window.Session().IsRunning());
    EXPECT_TRUE(Button(kStartButton)->isEnabled());
    EXPECT_EQ(Url(), "");
    EXPECT_FALSE(configChanged);
    // The web server was left alone.
    EXPECT_TRUE(testsupport::AcceptsConnections(g_settings.httpPort));
}

TEST_F(MainDialogTest, OptionsFromTheMenu) {
    Open();
    testsupport::WhenModal<MainOptions>([](MainOptions* dialog) {
        for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
            if (button->text() == "OK") button->click();
        }
    });
    Menu(kOptions);
    EXPECT_TRUE(configChanged);
    testsupport::WhenModal<MainOptions>([](MainOptions* dialog) { dialog->reject(); });
    configChanged = false;
    Menu(kOptions);
    EXPECT_FALSE(configChanged);
}

// The Help menu: contents, support mail, web site and the About box.
TEST_F(MainDialogTest, HelpCommands) {
    const char* staged = std::getenv("LUMACAST_PROGRAM_DIR");
    ASSERT_TRUE(staged);
    fs::copy(fs::path(staged) / "help", folder_.Path() / "help", fs::copy_options::recursive);
    RecordingUrlOpener opened;
    CMainDialog& window = Open();

    QTest::mouseClick(Button(kHelpButton), Qt::LeftButton);
    ASSERT_NE(CurrentHelpWindow(), nullptr);
    EXPECT_EQ(CurrentHelpWindow()->windowTitle(), "Lumacast help");
    CurrentHelpWindow()->close();

    Menu(kEmailSupport);
    Menu(kWebSite);
    ASSERT_EQ(opened.Urls().size(), 2u);
    EXPECT_EQ(opened.Urls()[0].rfind("mailto:", 0), 0u);
    EXPECT_EQ(opened.Urls()[1].rfind("https://", 0), 0u);

    QString aboutText;
    bool aboutIcon = false;
    QTimer::singleShot(0, [&] {
        QWidget* about = QApplication::activeModalWidget();
        ASSERT_NE(about, nullptr);
        for (QLabel* label : about->findChildren<QLabel*>()) {
            if (!label->pixmap().isNull()) aboutIcon = true;
            aboutText += label->text() + "|";
        }
        for (QPushButton* button : about->findChildren<QPushButton*>()) {
            if (button->text() == "OK") button->click();
        }
    });
    Menu(kAbout);
    EXPECT_TRUE(aboutText.contains("Lumacast! 1.33|")) << aboutText.toStdString();
    (void)window;
    (void)aboutIcon;
}

// A real broadcast on the test devices as the window shows it.
TEST_F(MainDialogTest, ShowsTheCameraTheToneTheViewerAndTheAddress) {
    UseTestDevices();
    CMainDialog& window = Open();
    PreviewWidget* preview = window.Preview();
    ASSERT_TRUE(WaitFor([&] { return preview->PaintedFrames() >= 3; }));
    const QImage picture = preview->grab().toImage();
    int colours = 0, dark = 0;
    QRgb previous = 0;
    for (int y = 0; y < picture.height(); y += 4) {
        for (int x = 0; x < picture.width(); x += 4) {
            const QRgb pixel = picture.pixel(x, y);
            if (pixel != previous) ++colours;
            previous = pixel;
            if (qRed(pixel) < 60 && qGreen(pixel) < 60 && qBlue(pixel) < 60) ++dark;
        }
    }
    EXPECT_GT(colours, 20) << "the preview shows the moving test pattern";
    EXPECT_LT(dark, picture.width() * picture.height() / 32) << "not a black rectangle";
    // The pattern's upper bars hold no black; the caption's shadow in the
    // top left corner does.
    auto darkIn = [&picture](int top, int bottom, int right) {
        int count = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = 0; x < right; ++x) {
                const QRgb pixel = picture.pixel(x, y);
                if (qRed(pixel) < 70 && qGreen(pixel) < 70 && qBlue(pixel) < 70) ++count;
            }
        }
        return count;
    };
    const int h = picture.height();
    EXPECT_GT(darkIn(0, h / 12, picture.width() / 2), 5) << "the caption is there";
    EXPECT_EQ(darkIn(h / 5, h / 2, picture.width()), 0) << "the bars themselves are not dark";

    Menu(kRunServer);
    ASSERT_TRUE(window.Session().IsRunning());
    ASSERT_TRUE(WaitFor([&] {
        for (std::int16_t column : window.Session().MeterColumns()) {
            if (column != 0) return true;
        }
        return false;
    }));
    ASSERT_TRUE(WaitFor([&] {
        const QImage meter = window.Meter()->grab().toImage();
        int lit = 0;
        for (int y = 0; y < meter.height(); ++y) {
            for (int x = 0; x < meter.width(); ++x) {
                if (meter.pixel(x, y) == MeterWidget::kColumnColour) ++lit;
            }
        }
        return lit > meter.width();
    })) << "the tone draws columns";

    // Silence: the microphone turned down draws the centre line alone.
    ASSERT_EQ(window.Capture()->AudioCaptureFilter()->SetControl("Volume", 0), S_OK);
    EXPECT_TRUE(WaitFor([&] {
        const QImage meter = window.Meter()->grab().toImage();
        for (int y = 0; y < meter.height(); ++y) {
            for (int x = 0; x < meter.width(); ++x) {
                if (meter.pixel(x, y) == MeterWidget::kColumnColour) return false;
            }
        }
        return true;
    })) << "silence draws no columns";
    ASSERT_EQ(window.Capture()->AudioCaptureFilter()->SetControl("Volume", 100), S_OK);

    const std::string stream = Url().toStdString() + "/MyFile.wma";
    std::atomic<bool> viewerDone{false};
    std::thread viewer([&] {
        const std::string command =
            "ffmpeg -nostdin -loglevel error -i " + stream + " -t 12 -f null - > /dev/null 2>&1";
        std::system(command.c_str());
        viewerDone = true;
    });
    EXPECT_TRUE(WaitFor([&] { return UserCount() == "1"; }, std::chrono::seconds(10)))
        << "count: " << UserCount().toStdString();
    Menu(kStopServer);
    viewer.join();
    EXPECT_EQ(Url(), "");
    EXPECT_EQ(UserCount(), "0");
}

// The meter's pixels: a line per column around the middle, its end point
// left out, the scale applied, and the green centre line.
TEST(MeterDrawing, ColumnsAroundTheMiddleAndTheCentreLine) {
    testsupport::EnsureApplication();
    QImage image(6, 20, QImage::Format_RGB32);
    QPainter painter(&image);
    const std::vector<std::int16_t> columns = {0, 1000, -1000, 32767, -32768, 500};
    DrawMeter(painter, QRect(0, 0, 6, 20), columns, 1000);
    painter.end();
    // mid 10; heights 0, 10, -10, 327 (kept to 16 bits), -327, 5.
    struct Expect {
        int x;
        int from, to;  // rows lit in the column colour, inclusive
    };
    const Expect expected[] = {{0, -1, -2}, {1, 0, 19}, {2, 1, 19},
                               {3, 0, 19},  {4, 0, 19}, {5, 5, 14}};
    for (const Expect& e : expected) {
        for (int y = 0; y < 20; ++y) {
            const QRgb pixel = image.pixel(e.x, y);
            if (y == 10) {
                EXPECT_EQ(pixel, MeterWidget::kCentreColour) << e.x;
            } else if (y >= e.from && y <= e.to) {
                EXPECT_EQ(pixel, MeterWidget::kColumnColour) << e.x << "," << y;
            } else {
                EXPECT_EQ(pixel, qRgb(0, 0, 0)) << e.x << "," << y;
            }
        }
    }
}

TEST(PreviewWidgetTest, ShowsTheNewestFrameUprightAndClearsToBlack) {
    testsupport::EnsureApplication();
    PreviewWidget preview;
    preview.resize(64, 48);
    preview.show();
    // A 4 x 2 frame of 12-byte rows, bottom-up: the bottom row blue, the top row red.
    auto frame = [](std::uint8_t topRed) {
        std::vector<std::uint8_t> bits(12 * 2, 0);
        for (int x = 0; x < 4; ++x) {
            bits[x * 3 + 0] = 255;          // bottom row: blue
            bits[12 + x * 3 + 2] = topRed;  // top row: red
        }
        return bits;
    };
    const auto dim = frame(100), bright = frame(255);
    preview.ShowFrame(dim.data(), 4, 2);
    preview.ShowFrame(bright.data(), 4, 2);  // replaces the first before it was painted
    ASSERT_TRUE(WaitFor([&] { return preview.PaintedFrames() >= 1; }));
    testsupport::ProcessEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(preview.PaintedFrames(), 1u);
    QImage shown = preview.grab().toImage();
    EXPECT_GT(qRed(shown.pixel(32, 2)), 200);
    EXPECT_GT(qBlue(shown.pixel(32, 45)), 200);
    EXPECT_LT(qRed(shown.pixel(32, 45)), 60);

    // A camera-sized frame shrinks to the preview: red above, blue below, a
    // grey column in the middle.
    std::vector<std::uint8_t> large(static_cast<std::size_t>(640 * 3) * 480, 0);
    for (int row = 0; row < 480; ++row) {  // stored bottom-up
        for (int x = 0; x < 640; ++x) {
            std::uint8_t* pixel = &large[static_cast<std::size_t>(row) * 640 * 3 + x * 3];
            if (x >= 310 && x < 330) {
                pixel[0] = pixel[1] = pixel[2] = 128;
            } else {
                pixel[row < 240 ? 0 : 2] = 255;
            }
        }
    }
    preview.ShowFrame(large.data(), 640, 480);
    ASSERT_TRUE(WaitFor([&] { return preview.PaintedFrames() >= 2; }));
    shown = preview.grab().toImage();
    EXPECT_EQ(shown.pixel(5, 5), qRgb(255, 0, 0));
    EXPECT_EQ(shown.pixel(5, 40), qRgb(0, 0, 255));
    EXPECT_EQ(shown.pixel(32, 5), qRgb(128, 128, 128));

    preview.Clear();
    ASSERT_TRUE(WaitFor([&] { return preview.grab().toImage().pixel(32, 2) == qRgb(0, 0, 0); }));
}

// The runtime check of start-up against stand-in runtimes: the warning
// exactly when product or file version is below 9.0 or no version can be
// read; Yes opens the download page and ends the start, No goes on.
TEST(RuntimeCheck, WarnsForMissingOrOldRuntimesOnly) {
    testsupport::ForEachRuntimeAndAnswer(
        [](const testsupport::RuntimeCase& c, int answer, const std::string& library,
           RecordingMessageBoxes& boxes, RecordingUrlOpener& opened) {
            const bool ends = RuntimeCheckEndsStartUp(library.c_str());
            ASSERT_EQ(boxes.Count(), c.warns ? 1u : 0u);
            if (c.warns) {
                EXPECT_EQ(boxes.Boxes()[0].caption, "Warning");
                EXPECT_EQ(boxes.Boxes()[0].text, testsupport::kRuntimeWarning);
                EXPECT_EQ(boxes.Boxes()[0].type, MB_YESNO | MB_ICONEXCLAMATION);
            }
            const bool yes = c.warns && answer == IDYES;
            EXPECT_EQ(ends, yes);
            EXPECT_EQ(opened.Urls().size(), yes ? 1u : 0u);
            if (yes) {
                EXPECT_EQ(opened.Urls()[0], kMediaRuntimeDownloadUrl);
            }
        });
    // The program's own runtime, found by its bare name the way the program finds it.
    RecordingMessageBoxes boxes;
    EXPECT_FALSE(RuntimeCheckEndsStartUp(kMediaRuntimeSoname));
    EXPECT_EQ(boxes.Count(), 0u);
}

// While only the invited watch, the box holds the whole link to hand out;
// a new link from the Viewer access dialog ends the old one at once, and
// the viewer who came with it.
TEST_F(MainDialogTest, TheInviteLinkIsShownAndANewOneDropsTheViewersOfTheOld) {
    UseTestDevices();
    const std::string token = "0123456789abcdef0123456789abcdef";
    testsupport::WriteWholeFile(folder_ / "access.cfg", "viewers=invite\ntoken=" + token + "\n");
    CMainDialog& window = Open();
    Menu(kRunServer);
    ASSERT_TRUE(window.Session().IsRunning());
    EXPECT_TRUE(Url().endsWith(":" + QString::number(g_settings.httpPort) +
                               "/?invite=" + QString::fromStdString(token)))
        << Url().toStdString();
    // So does the IPv6 line, where the machine has a global IPv6 address.
    char v6[INET6_ADDRSTRLEN] = {};
    const auto globals = GlobalIpv6Addresses();
    if (!globals.empty()) inet_ntop(AF_INET6, &globals.front(), v6, sizeof v6);
    EXPECT_EQ(qobject_cast<QLineEdit*>(window_->Control(kIpv6UrlControl))->text().toStdString(),
              globals.empty() ? std::string()
                              : "http://[" + std::string(v6) + "]:" +
                                    std::to_string(g_settings.httpPort) + "/?invite=" + token);

    UniqueFd viewer = testsupport::ConnectLoopback(g_settings.asfPort);
    const std::string request = "GET /MyFile.wma?invite=" + token + " HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(viewer.Get(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(WaitFor([&] { return UserCount() == "1"; }, std::chrono::seconds(10)));

    testsupport::WhenModal<QDialog>([](QDialog* dialog) {
        dialog->findChild<QPushButton*>(QString::number(accessdialog::kNewLinkButton))->click();
        dialog->findChild<QPushButton*>(QString::number(IDOK))->click();
    });
    Menu(mainmenu::kViewerAccess);
    const std::string saved = testsupport::ReadWholeFile(folder_ / "access.cfg");
    EXPECT_EQ(saved.find(token), std::string::npos) << saved;
    EXPECT_FALSE(Url().contains(QString::fromStdString(token)));
    // The old link's viewer is let go, and the old link lets nobody in.
    EXPECT_TRUE(WaitFor([&] { return UserCount() == "0"; }, std::chrono::seconds(10)));
    char buffer[65536];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    ssize_t got = 1;
    while (got > 0 && std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        got = recv(viewer.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && errno == EAGAIN) got = 1;
    }
    EXPECT_LE(got, 0) << "the old link's viewer is still served";
    EXPECT_EQ(testsupport::Fetch(g_settings.asfPort, request).rfind("HTTP/1.0 403 ", 0), 0u);
    Menu(kStopServer);
}

}  // namespace
