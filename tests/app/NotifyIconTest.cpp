// The tray icon on a real X server with a real XEmbed tray host (trayer) and
// window manager (openbox), driven from outside with xdotool: the icon docks,
// its tooltip reaches the tray cut and is kept whole, a double click brings a
// hidden window back, a right click shows the menu of the icon's id, or does
// nothing without handler or menu, and the icon comes back when the tray host
// is restarted, or appears when one starts later. The end-to-end tests drive
// the program's icon in a StatusNotifierItem host too.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolTip>
#include <QWidget>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/NotifyIcon.h"
#include "tests/support/GuiTest.h"
#include "tests/support/Skip.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VirtualDisplay.h"
#include "ui/Icons.h"
#include "ui/MainMenuIds.h"
#include "ui/Templates.h"
#include "ui/TrayMenuIds.h"

namespace {

using testsupport::ProcessEventsFor;
using testsupport::VirtualDisplay;
using testsupport::WaitFor;
using namespace std::chrono_literals;

// One X server with openbox and trayer for the whole test binary, and the
// application on it; the application goes before the server.
class TrayEnvironment : public ::testing::Environment {
  public:
    static VirtualDisplay* Display() { return display_.get(); }
    static const std::string& Problem() { return problem_; }

    void SetUp() override {
        VirtualDisplay::Options options;
        options.windowManager = true;
        options.trayHost = true;
        display_ = std::make_unique<VirtualDisplay>(options);
        if (!display_->Ok() || !display_->Error().empty()) {
            problem_ = display_->Error();
            return;
        }
        setenv("DISPLAY", display_->Display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // The icon is to go into the X tray host, not to a session bus's
        // notifier that may happen to run.
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        testsupport::EnsureApplication();
    }

    void TearDown() override {
        delete QCoreApplication::instance();
        display_.reset();
    }

  private:
    static inline std::unique_ptr<VirtualDisplay> display_;
    static inline std::string problem_;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TrayEnvironment);

std::string Hex(WId window) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(window));
    return text;
}

class NotifyIconTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!TrayEnvironment::Problem().empty()) LUMACAST_SKIP() << TrayEnvironment::Problem();
        display_ = TrayEnvironment::Display();
        if (!display_->TrayHostRunning()) {
            ASSERT_TRUE(display_->StartTrayHost());
        }
        owner_ = std::make_unique<QWidget>();
        owner_->setWindowTitle(QStringLiteral("Lumacast!"));
        owner_->resize(320, 200);
        owner_->move(100, 150);
    }
    void TearDown() override {
        QToolTip::hideText();
        owner_.reset();
    }

    // The window Qt docked into the tray for the icon; 0 while there is none.
    static WId IconWindow() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0 &&
                widget->testAttribute(Qt::WA_WState_Created)) {
                return widget->winId();
            }
        }
        return 0;
    }

    // Whether window sits inside a window of the tray host (class "trayer")
    // on the X server.
    bool InTray(WId window) const {
        std::string tree;
        if (display_->Run("xwininfo -root -tree", &tree) != 0) return false;
        const std::string id = Hex(window) + " ";
        std::istringstream lines(tree);
        std::string line;
        std::size_t hostIndent = std::string::npos;  // inside a tray host's subtree
        while (std::getline(lines, line)) {
            const std::size_t indent = line.find_first_not_of(' ');
            if (indent == std::string::npos) continue;
            if (hostIndent != std::string::npos && indent <= hostIndent) {
                hostIndent = std::string::npos;
            }
            if (hostIndent != std::string::npos && line.compare(indent, id.size(), id) == 0) {
                return true;
            }
            if (hostIndent == std::string::npos && line.find(" \"trayer\")") != std::string::npos) {
                hostIndent = indent;
            }
        }
        return false;
    }

    bool WaitDocked() {
        return WaitFor([&] { return IconWindow() != 0 && InTray(IconWindow()); }, 20s);
    }

    // The centre of window on the screen.
    QPoint Centre(WId window) const {
        std::string info;
        display_->Run("xwininfo -id " + Hex(window), &info);
        auto number = [&](const std::string& label) {
            const auto at = info.find(label);
            return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + label.size());
        };
        return QPoint(number("Absolute upper-left X:") + number("Width:") / 2,
                      number("Absolute upper-left Y:") + number("Height:") / 2);
    }

    // Runs an xdotool command while the application keeps answering.
    void Xdotool(const std::string& arguments) {
        std::string quiet = "xdotool " + arguments + " > /dev/null 2>&1 &";
        display_->Run(quiet);
        ProcessEventsFor(300ms);
    }

    void ClickIcon(int button, int times) {
        const QPoint at = Centre(IconWindow());
        Xdotool("mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                " click --repeat " + std::to_string(times) + " --delay 120 " +
                std::to_string(button));
    }

    // The owner as the main window leaves it when minimised to the tray.
    void MinimiseToTray() {
        owner_->show();
        ASSERT_TRUE(WaitFor([&] { return owner_->isVisible(); }));
        owner_->showMinimized();
        ASSERT_TRUE(WaitFor([&] { return owner_->isMinimized(); }));
        owner_->hide();
        ASSERT_TRUE(WaitFor([&] { return MapState() == "IsUnMapped"; }));
    }

    std::string MapState() const {
        std::string info;
        display_->Run("xwininfo -id " + Hex(owner_->winId()), &info);
        const auto at = info.find("Map State: ");
        return at == std::string::npos ? "" : info.substr(at + 11, info.find('\n', at) - at - 11);
    }

    VirtualDisplay* display_ = nullptr;
    std::unique_ptr<QWidget> owner_;
};

const QString kLongTip = QStringLiteral(
    "Lumacast! broadcasting to three viewers on http://192.168.100.200:8080 with a caption "
    "of our choice.");  // 100 characters

TEST_F(NotifyIconTest, DocksWithItsTipCutForTheTrayAndKeptWhole) {
    ASSERT_EQ(kLongTip.size(), 100);
    CNotifyIcon icon(owner_.get(), kProgramIconId);
    EXPECT_TRUE(icon.IsAdded());
    EXPECT_TRUE(CNotifyIcon::IsTrayAvailable());
    EXPECT_TRUE(icon.SetTip(kLongTip));
    ASSERT_TRUE(WaitDocked());

    EXPECT_EQ(icon.Tip(), kLongTip);
    const QSystemTrayIcon* tray = icon.findChild<QSystemTrayIcon*>();
    ASSERT_NE(tray, nullptr);
    EXPECT_EQ(tray->toolTip(), kLongTip.left(63));

    // What the user sees on pointing at the icon.
    const QPoint at = Centre(IconWindow());
    Xdotool("mousemove " + std::to_string(at.x() - 2) + " " + std::to_string(at.y()) +
            " mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()));
    ASSERT_TRUE(WaitFor([] { return QToolTip::isVisible(); }, 10s));
    EXPECT_EQ(QToolTip::text(), kLongTip.left(63));
    ProcessEventsFor(300ms);  // let the tooltip paint itself before the screenshot

    const testsupport::TempFolder folder("lumatray");
    const std::string shot = std::getenv("LUMACAST_TRAY_SCREENSHOT")
                                 ? std::getenv("LUMACAST_TRAY_SCREENSHOT")
                                 : folder / "tray.png";
    ASSERT_TRUE(display_->Screenshot(shot));
    const QImage screen(QString::fromStdString(shot));
    ASSERT_FALSE(screen.isNull());
    // The icon's own colours are on the screen where the icon is.
    int coloured = 0;
    for (int dy = -6; dy <= 6; ++dy) {
        for (int dx = -6; dx <= 6; ++dx) {
            if (screen.pixelColor(at.x() + dx, at.y() + dy).hsvSaturation() > 90) ++coloured;
        }
    }
    EXPECT_GT(coloured, 20);
}

TEST_F(NotifyIconTest, DoubleClickBringsBackTheHiddenMinimisedOwner) {
    CNotifyIcon icon(owner_.get(), kProgramIconId);
    icon.SetTip(QStringLiteral("Lumacast!"));
    ASSERT_TRUE(WaitDocked());
    MinimiseToTray();

    ClickIcon(1, 2);
    ASSERT_TRUE(WaitFor([&] { return owner_->isVisible() && MapState() == "IsViewable"; }, 10s));
    EXPECT_FALSE(owner_->isMinimized());
    EXPECT_TRUE(WaitFor([&] { return owner_->isActiveWindow(); }, 10s));
    std::string active;
    display_->Run("xdotool getactivewindow", &active);
    EXPECT_EQ(std::strtoul(active.c_str(), nullptr, 10), owner_->winId());
}

TEST_F(NotifyIconTest, OneClickOrARightClickWithoutHandlerOrMenuDoesNothing) {
    CNotifyIcon icon(owner_.get(), kHelpIconId);  // an icon without a menu
    ASSERT_TRUE(WaitDocked());
    MinimiseToTray();

    ClickIcon(3, 1);
    ClickIcon(1, 1);
    ProcessEventsFor(800ms);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_TRUE(owner_->isHidden());
    EXPECT_EQ(MapState(), "IsUnMapped");

    // With a handler the right click goes there, with the owner and id.
    QWidget* calledWith = nullptr;
    unsigned calledId = 0;
    icon.SetRightClickHandler([&](QWidget* owner, unsigned id) {
        calledWith = owner;
        calledId = id;
    });
    ClickIcon(3, 1);
    EXPECT_TRUE(WaitFor([&] { return calledWith != nullptr; }));
    EXPECT_EQ(calledWith, owner_.get());
    EXPECT_EQ(calledId, unsigned(kHelpIconId));
    EXPECT_TRUE(owner_->isHidden());
}

TEST_F(NotifyIconTest, EventsOfAnotherWindowOrIconAreIgnored) {
    CNotifyIcon icon(owner_.get(), kProgramIconId);
    MinimiseToTray();
    QWidget stranger;
    icon.OnMessage(&stranger, kProgramIconId, QSystemTrayIcon::DoubleClick);
    icon.OnMessage(owner_.get(), kProgramIconId + 1, QSystemTrayIcon::DoubleClick);
    icon.OnMessage(nullptr, kProgramIconId, QSystemTrayIcon::DoubleClick);
    ProcessEventsFor(300ms);
    EXPECT_TRUE(owner_->isHidden());
    EXPECT_TRUE(stranger.isHidden());

    icon.OnMessage(owner_.get(), kProgramIconId, QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(WaitFor([&] { return MapState() == "IsViewable"; }));
}

TEST_F(NotifyIconTest, ARestartedTrayHostGetsTheIconBackWithItsTip) {
    CNotifyIcon icon(owner_.get(), kProgramIconId);
    icon.SetTip(kLongTip);
    ASSERT_TRUE(WaitDocked());
    MinimiseToTray();

    display_->StopTrayHost();
    EXPECT_TRUE(WaitFor([] { return !CNotifyIcon::IsTrayAvailable(); }));
    // Without a tray the hidden owner must stay reachable: it comes back
    // minimised.
    EXPECT_TRUE(WaitFor([&] { return owner_->isVisible(); }, 10s));
    EXPECT_FALSE(icon.IsAdded());

    ASSERT_TRUE(display_->StartTrayHost());
    ASSERT_TRUE(WaitDocked());
    EXPECT_TRUE(WaitFor([&] { return icon.IsAdded(); }, 10s));
    EXPECT_EQ(icon.findChild<QSystemTrayIcon*>()->toolTip(), kLongTip.left(63));
    EXPECT_EQ(icon.Tip(), kLongTip);
}

TEST_F(NotifyIconTest, WithoutATrayTheIconWaitsForOne) {
    display_->StopTrayHost();
    ASSERT_TRUE(WaitFor([] { return !CNotifyIcon::IsTrayAvailable(); }));
    CNotifyIcon icon(owner_.get(), kProgramIconId);
    EXPECT_FALSE(icon.IsAdded());
    EXPECT_FALSE(icon.SetTip(QStringLiteral("Lumacast!")));
    EXPECT_EQ(icon.Tip(), QStringLiteral("Lumacast!"));

    ASSERT_TRUE(display_->StartTrayHost());
    ASSERT_TRUE(WaitDocked());
    EXPECT_TRUE(icon.SetTip(QStringLiteral("Lumacast!")));
}

TEST_F(NotifyIconTest, RemovedIconsLeaveTheTray) {
    {
        CNotifyIcon icon(owner_.get(), kProgramIconId);
        ASSERT_TRUE(WaitDocked());
        EXPECT_TRUE(icon.Remove());
        EXPECT_FALSE(icon.IsAdded());
        EXPECT_FALSE(icon.Remove());
        EXPECT_TRUE(WaitFor([&] { return IconWindow() == 0 || !InTray(IconWindow()); }));
        EXPECT_TRUE(icon.SetTip(QStringLiteral("back")));  // adds it again
        ASSERT_TRUE(WaitDocked());
    }
    // Gone with the object.
    EXPECT_TRUE(WaitFor([&] { return IconWindow() == 0 || !InTray(IconWindow()); }));
}

// The menu of the icon's id: the tray icon's own (the way back and out), or
// any other menu of the program, such as the main menu.
TEST_F(NotifyIconTest, TheContextMenuOfTheIdSitsAboveThePointerAndSendsItsCommands) {
    struct Case {
        unsigned id;
        QStringList texts;
        QString chosen;
        int command;
    };
    const Case cases[] = {
        {kProgramIconId, {"&Restore", "E&xit"}, "&Restore", traymenu::kRestore},
        {kMainMenuId,
         {"Run server", "Stop server", "Server setup", "Options", "Relay", "Viewer access",
          "Save configuration", "Remote servers", "E&xit"},
         "Server setup",
         mainmenu::kServerSetup},
    };
    owner_->show();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        CNotifyIcon withMenu(owner_.get(), c.id);
        std::vector<int> commands;
        QObject::connect(&withMenu, &CNotifyIcon::Command, [&](int id) { commands.push_back(id); });
        QCursor::setPos(500, 400);
        ASSERT_TRUE(WaitFor([] { return QCursor::pos() == QPoint(500, 400); }));

        QStringList texts;
        QRect placed;
        QTimer::singleShot(300, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) return;
            placed = menu->geometry();
            for (QAction* action : menu->actions()) {
                if (action->isSeparator()) continue;
                texts << action->text();
                if (action->text() == c.chosen) action->trigger();
            }
            menu->close();
        });
        EXPECT_TRUE(withMenu.ShowContextMenu(owner_.get()));
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(commands, std::vector<int>{c.command});
        EXPECT_NEAR(placed.center().x(), 500, 2);
        EXPECT_NEAR(placed.bottom() + 1, 400, 2);
    }

    // An id without a menu shows none.
    CNotifyIcon withoutMenu(owner_.get(), kHelpIconId);
    EXPECT_FALSE(withoutMenu.ShowContextMenu(owner_.get()));
}

TEST_F(NotifyIconTest, AnIconOrOwnerThatIsNotThereAddsNothing) {
    CNotifyIcon noIcon(owner_.get(), kMainMenuId);  // the menu's id has no icon
    EXPECT_FALSE(noIcon.IsAdded());
    EXPECT_FALSE(noIcon.SetIcon(4242));

    auto owner = std::make_unique<QWidget>();
    CNotifyIcon orphan(owner.get(), kProgramIconId);
    owner.reset();
    EXPECT_FALSE(orphan.SetIcon(kProgramIconId));
    EXPECT_FALSE(orphan.Add(IconById(kProgramIconId)));
}

}  // namespace
