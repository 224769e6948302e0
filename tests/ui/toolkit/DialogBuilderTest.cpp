// Templates become widgets at the pixel rectangles of their dialog units, in
// tab order; menus carry their command ids; the up-down control keeps its
// position within its range and lets its owner adjust each step.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <set>

#include "tests/support/GuiTest.h"
#include "ui/OutputSetupIds.h"
#include "ui/Templates.h"
#include "ui/toolkit/DialogBuilder.h"
#include "ui/toolkit/Menus.h"
#include "ui/toolkit/UpDownControl.h"

namespace {

class DialogBuilderTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::EnsureApplication(); }
};

TEST_F(DialogBuilderTest, DialogUnitsRoundEachEdgeLikeTheSystem) {
    const DialogUnits units(6, 14);
    struct Case {
        int x, y, w, h;
        QRect pixels;
    };
    const Case cases[] = {
        {0, 0, 4, 8, QRect(0, 0, 6, 14)},
        {3, 0, 27, 24, QRect(5, 0, 40, 42)},         // 4.5 rounds up, 45 - 5 wide
        {289, 161, 0, 0, QRect(434, 282, 0, 0)},     // 433.5 and 281.75
        {11, 39, 128, 96, QRect(17, 68, 192, 168)},  // 16.5 to 208.5
        {1, 1, 1, 1, QRect(2, 2, 1, 2)},             // 1.5 -> 2, 3 -> 3; 1.75 -> 2, 3.5 -> 4
    };
    for (const Case& c : cases) {
        EXPECT_EQ(units.ToPixels(c.x, c.y, c.w, c.h), c.pixels) << c.x << "," << c.y;
    }
}

// The font's own tables: DejaVu Sans's 52 letters advance 65813 units of
// its 2048-unit em together, its ascent is 1901 units and its descent 483.
QFont DejaVuSans(int pixels) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    return font;
}

TEST_F(DialogBuilderTest, UnitsComeFromTheFontsAverageWidthAndHeight) {
    struct Case {
        int pixels;
        int baseX, baseY;
    };
    const Case cases[] = {
        {12, 7, 14},   // 385.6 px of letters, 14 a pair, so 7; 11.1 + 2.8 high
        {16, 10, 19},  // 514.2 px, 19 a pair, 9.5 rounds up; 14.9 + 3.8
        {24, 15, 28},  // 771.2 px, 29 a pair, 14.5 rounds up; 22.3 + 5.7
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pixels);
        const QFont font = DejaVuSans(c.pixels);
        ASSERT_EQ(QFontInfo(font).family(), "DejaVu Sans") << "fonts-dejavu-core is installed";
        const DialogUnits units(font);
        EXPECT_EQ(units.BaseX(), c.baseX);
        EXPECT_EQ(units.BaseY(), c.baseY);
    }
}

// Every control of every template lands at the rectangle its dialog units
// give (combo boxes keep their own height), ids are unique, and the client
// takes the template's size.
TEST_F(DialogBuilderTest, EveryTemplateBuildsAtItsRectangles) {
    for (int id : {kMainDialogId, kAboutDialogId, kServerSetupDialogId, kServersDialogId,
                   kServerEditDialogId, kOptionsDialogId, kRelayDialogId}) {
        const DialogTemplate* dialog = FindDialogTemplate(id);
        ASSERT_NE(dialog, nullptr) << id;
        QDialog window;
        const DialogControls controls = BuildDialog(&window, *dialog);
        const DialogUnits units(window.font());
        EXPECT_EQ(window.size(),
                  QSize(units.ToPixelsX(dialog->width), units.ToPixelsY(dialog->height)));
        EXPECT_EQ(window.windowTitle().toStdString(), dialog->caption);
        ASSERT_EQ(controls.All().size(), dialog->controls.size());
        std::set<int> ids;
        for (const auto& [control, widget] : controls.All()) {
            const QRect expected =
                units.ToPixels(control->x, control->y, control->width, control->height);
            if (qobject_cast<QComboBox*>(widget)) {
                EXPECT_EQ(widget->geometry().topLeft(), expected.topLeft());
                EXPECT_EQ(widget->width(), expected.width());
            } else if (RunsOn(*control)) {
                // Its text is never cut: at least the template's box.
                EXPECT_EQ(widget->geometry().topLeft(), expected.topLeft());
                EXPECT_EQ(widget->height(), expected.height());
                EXPECT_GE(widget->width(), expected.width());
                EXPECT_GE(widget->width(), widget->sizeHint().width());
            } else {
                EXPECT_EQ(widget->geometry(), expected)
                    << "dialog " << id << " control " << control->id;
            }
            if (control->id != -1) {
                EXPECT_TRUE(ids.insert(control->id).second)
                    << "dialog " << id << " repeats " << control->id;
                EXPECT_EQ(controls.Find(control->id), widget);
            }
        }
    }
    EXPECT_EQ(FindDialogTemplate(999), nullptr);
}

// The main window at the places the program is known by. In DejaVu Sans at
// 12 px a dialog unit is 7 / 4 = 1.75 px across and 14 / 8 = 1.75 px down;
// each edge is rounded on its own, halves up. The ids are written as numbers
// so that a renumbered id is caught.
TEST_F(DialogBuilderTest, MainWindowControlsAtTheirPlaces) {
    QWidget client;
    client.setFont(DejaVuSans(12));
    const DialogControls controls = BuildDialog(&client, *FindDialogTemplate(kMainDialogId));
    struct Place {
        int id;
        QRect pixels;  // from the template's x, y, w, h
    };
    const Place places[] = {
        {1047, QRect(5, 0, 48, 42)},       // 3, 0, 27, 24: 5.25 to 52.5
        {1048, QRect(58, 0, 47, 42)},      // 33, 0, 27, 24: 57.75 to 105
        {1054, QRect(110, 0, 48, 42)},     // 63, 0, 27, 24: 110.25 to 157.5
        {1053, QRect(163, 0, 47, 42)},     // 93, 0, 27, 24: 162.75 to 210
        {1020, QRect(452, 0, 47, 42)},     // 258, 0, 27, 24: 451.5 to 498.75
        {1023, QRect(19, 68, 224, 168)},   // 11, 39, 128, 96: 19.25 to 243.25
        {1051, QRect(285, 68, 172, 70)},   // 163, 39, 98, 40: 285.25 to 456.75
        {1052, QRect(462, 58, 26, 89)},    // 264, 33, 15, 51: 462 to 488.25
        {1022, QRect(404, 177, 56, 21)},   // 231, 101, 32, 12: 404.25 to 460.25
        {1056, QRect(284, 221, 204, 24)},  // 162, 126, 117, 14: 283.5 to 488.25
        {1058, QRect(53, 282, 442, 24)},   // 30, 161, 253, 14: 52.5 to 495.25
    };
    for (const Place& p : places) {
        QWidget* widget = controls.Find(p.id);
        ASSERT_NE(widget, nullptr) << p.id;
        EXPECT_EQ(widget->geometry(), p.pixels) << p.id;
    }
    EXPECT_EQ(client.size(), QSize(506, 312));  // 289 x 178: 505.75 and 311.5

    auto* users = controls.Get<QLabel>(1022);
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(users->text(), "0");
    EXPECT_TRUE(users->alignment() & Qt::AlignRight);
    auto* url = controls.Get<QLineEdit>(1056);
    ASSERT_NE(url, nullptr);
    EXPECT_TRUE(url->isReadOnly());
    auto* scale = controls.Get<QSlider>(1052);
    ASSERT_NE(scale, nullptr);
    EXPECT_EQ(scale->orientation(), Qt::Vertical);
    EXPECT_EQ(scale->tickPosition(), QSlider::NoTicks);
}

TEST_F(DialogBuilderTest, FactoryReplacesControlsAndTabOrderFollowsTheTemplate) {
    QDialog window;
    const DialogControls controls =
        BuildDialog(&window, *FindDialogTemplate(kOptionsDialogId),
                    [](const ControlTemplate& control, QWidget* parent) -> QWidget* {
                        if (control.id == 1056) return new QLineEdit(parent);
                        return nullptr;
                    });
    // Radio, radio, edit, check, check, OK, Cancel.
    std::vector<int> order;
    QWidget* widget = controls.Find(1058);
    for (int i = 0; i < 7 && widget; ++i) {
        order.push_back(widget->objectName().toInt());
        widget = widget->nextInFocusChain();
        while (widget && widget->objectName().isEmpty()) widget = widget->nextInFocusChain();
    }
    EXPECT_EQ(order, (std::vector<int>{1058, 1059, 1056, 1060, 1061, 1, 2}));
    EXPECT_TRUE(controls.Get<QPushButton>(1)->isDefault());
    EXPECT_FALSE(controls.Get<QPushButton>(2)->isDefault());
    EXPECT_EQ(controls.Get<QGroupBox>(-1), nullptr);  // statics are not addressed
}

// Enter presses the push button that has the focus, and the default button
// when the focus is on any other control, in every dialog of the program.
TEST_F(DialogBuilderTest, EnterPressesTheFocusedButtonOrElseTheDefault) {
    for (int id : {kAboutDialogId, kServerSetupDialogId, kServersDialogId, kServerEditDialogId,
                   kOptionsDialogId, kRelayDialogId}) {
        SCOPED_TRACE(id);
        QDialog dialog;
        const DialogControls controls = BuildDialog(&dialog, *FindDialogTemplate(id));
        std::vector<QPushButton*> buttons;
        QPushButton* defaultButton = nullptr;
        std::vector<QWidget*> others;  // every other control that takes the focus
        QPushButton* pressed = nullptr;
        for (const auto& [control, widget] : controls.All()) {
            if (auto* button = qobject_cast<QPushButton*>(widget)) {
                buttons.push_back(button);
                if (control->kind == ControlKind::DefaultPushButton) defaultButton = button;
                QObject::connect(button, &QPushButton::clicked,
                                 [&pressed, button] { pressed = button; });
            } else if (widget->focusPolicy() & Qt::TabFocus && widget->isEnabled()) {
                others.push_back(widget);
            }
        }
        dialog.show();
        dialog.activateWindow();
        ASSERT_TRUE(testsupport::WaitFor([&] { return dialog.isActiveWindow(); }));
        const auto enterOn = [&pressed](QWidget* focus) {
            pressed = nullptr;
            focus->setFocus(Qt::TabFocusReason);
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(QApplication::focusWidget(), &enter);
            return pressed;
        };
        ASSERT_FALSE(buttons.empty());
        for (QPushButton* button : buttons) {
            EXPECT_EQ(enterOn(button), button) << button->text().toStdString();
        }
        for (QWidget* other : others) {
            EXPECT_EQ(enterOn(other), defaultButton) << other->objectName().toStdString();
        }
    }
}

TEST_F(DialogBuilderTest, NumberFieldsTakeDigitsOnlyWhenTyped) {
    QDialog window;
    const DialogControls controls = BuildDialog(&window, *FindDialogTemplate(kServerSetupDialogId));
    auto* bitrate = controls.Get<QLineEdit>(outputsetup::kBitrateField);
    ASSERT_NE(bitrate, nullptr);
    bitrate->setFocus();
    bitrate->insert("12");
    bitrate->insert("ab");  // refused like typed letters
    EXPECT_EQ(bitrate->text(), "12");
    bitrate->setText("12abc");  // pasted in as a whole it stays for the dialog to judge
    EXPECT_EQ(bitrate->text(), "12abc");
    EXPECT_TRUE(bitrate->alignment() & Qt::AlignRight);
}

TEST_F(DialogBuilderTest, LabelTextShowsDoubledAmpersandsOnce) {
    EXPECT_EQ(LabelText("Date && time"), "Date & time");
    EXPECT_EQ(LabelText("E&xit"), "Exit");
    EXPECT_EQ(LabelText("plain"), "plain");
    EXPECT_EQ(LabelText("&&&"), "&");
}

// Every command keeps its number and its text.
TEST_F(DialogBuilderTest, MainMenuHasEveryCommandWithItsId) {
    QWidget window;
    std::vector<int> chosen;
    QMenuBar* bar =
        BuildMenuBar(MainMenuTemplate(), &window, [&chosen](int id) { chosen.push_back(id); });
    ASSERT_EQ(bar->actions().size(), 2);
    EXPECT_EQ(bar->actions()[0]->text(), "&Main");
    EXPECT_EQ(bar->actions()[1]->text(), "&Help");
    struct Item {
        int id;
        const char* text;
    };
    const Item items[] = {{138, "Run server"},
                          {163, "Stop server"},
                          {153, "Server setup"},
                          {32778, "Options"},
                          {32790, "Relay"},
                          {32791, "Viewer access"},
                          {32779, "Save configuration"},
                          {32777, "Remote servers"},
                          {130, "E&xit"},
                          {154, "&Topics"},
                          {146, "Email to support"},
                          {156, "Orvanta Software web site"},
                          {143, "About..."}};
    for (const Item& item : items) {
        QAction* action = FindMenuCommand(bar, item.id);
        ASSERT_NE(action, nullptr) << item.id;
        EXPECT_EQ(action->text().toStdString(), item.text);
        EXPECT_TRUE(action->isEnabled());
        action->trigger();
    }
    EXPECT_EQ(chosen.size(), std::size(items));
    EXPECT_EQ(chosen.front(), 138);
    EXPECT_EQ(chosen.back(), 143);
    EXPECT_EQ(bar->actions()[0]->menu()->actions().size(), 12);  // three separators
    EXPECT_EQ(bar->actions()[1]->menu()->actions().size(), 6);   // two separators
    EXPECT_EQ(FindMenuCommand(bar, 999), nullptr);
}

TEST_F(DialogBuilderTest, UpDownStaysInRangeAndLetsTheOwnerAdjustSteps) {
    UpDownControl spin;
    spin.SetRange(1, 60);
    spin.SetPosition(60);
    std::vector<int> changes;
    QObject::connect(&spin, &UpDownControl::PositionChanged,
                     [&changes](int position) { changes.push_back(position); });
    spin.Step(1);
    EXPECT_EQ(spin.Position(), 60);
    spin.Step(-1);
    EXPECT_EQ(spin.Position(), 59);
    spin.SetPosition(500);
    EXPECT_EQ(spin.Position(), 60);
    spin.SetPosition(-4);
    EXPECT_EQ(spin.Position(), 1);

    // The owner doubles one step and refuses the next.
    int calls = 0;
    spin.SetDeltaHandler([&calls](int position, int& delta) {
        ++calls;
        EXPECT_EQ(position, calls == 1 ? 1 : 3);
        if (calls == 1) delta = 2;
        return calls == 1;
    });
    spin.resize(12, 20);
    spin.UpArrow()->click();
    EXPECT_EQ(spin.Position(), 3);
    spin.DownArrow()->click();
    EXPECT_EQ(spin.Position(), 3);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(changes, (std::vector<int>{59, 3}));
}

}  // namespace
