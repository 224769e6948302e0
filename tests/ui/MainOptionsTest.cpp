// The Options dialog and its flow: the radio buttons and the text field,
// the 127-byte limit, what OK copies back and that Cancel keeps nothing.

#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstring>

#include "DialogTestSupport.h"
#include "ui/Dialogs.h"
#include "ui/MainOptions.h"
#include "ui/MainOptionsIds.h"
#include "ui/Templates.h"

namespace {

using dialogtest::WhenModal;

struct Controls {
    QRadioButton* dateTime;
    QRadioButton* customText;
    QLineEdit* text;
    QCheckBox* autoStart;
    QCheckBox* minimizeToTray;
    QPushButton* ok;
    QPushButton* cancel;
};

Controls Of(MainOptions* dialog) {
    const DialogControls& c = dialog->Controls();
    using namespace mainoptions;
    return {c.Get<QRadioButton>(kDateTimeButton), c.Get<QRadioButton>(kCustomTextButton),
            c.Get<QLineEdit>(kCaptionEdit),       c.Get<QCheckBox>(kAutoStartBox),
            c.Get<QCheckBox>(kMinimizeToTrayBox), c.Get<QPushButton>(IDOK),
            c.Get<QPushButton>(IDCANCEL)};
}

// Types text into a widget key by key, characters beyond ASCII included.
void Type(QWidget* widget, const QString& text) {
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QApplication::sendEvent(widget, &press);
        QApplication::sendEvent(widget, &release);
    }
}

void SetCaption(const char* text) {
    std::memset(g_settings.captionText, 0, sizeof g_settings.captionText);
    std::strncpy(g_settings.captionText, text, sizeof g_settings.captionText - 1);
}

class OptionsTest : public dialogtest::DialogTest {};

// Opening with date and time shows its button checked and the field greyed
// with the saved text still in it; the radio buttons switch the field, and
// the text survives a round trip through date and time.
TEST_F(OptionsTest, RadioButtonsSwitchTheTextFieldAndTheTextSurvives) {
    g_settings.captionDateTime = 1;
    SetCaption("Studio 4");
    g_settings.minimizeToTray = 1;
    WhenModal<MainOptions>([](MainOptions* dialog) {
        const Controls c = Of(dialog);
        EXPECT_TRUE(c.dateTime->isChecked());
        EXPECT_FALSE(c.customText->isChecked());
        EXPECT_FALSE(c.text->isEnabled());
        EXPECT_EQ(c.text->text(), "Studio 4");
        EXPECT_FALSE(c.autoStart->isChecked());
        EXPECT_TRUE(c.minimizeToTray->isChecked());

        c.customText->click();
        EXPECT_TRUE(c.text->isEnabled());
        EXPECT_FALSE(c.dateTime->isChecked());
        c.text->setText("Studio 5");
        c.dateTime->click();
        EXPECT_FALSE(c.text->isEnabled());
        EXPECT_FALSE(c.customText->isChecked());
        c.autoStart->click();
        c.ok->click();
    });
    EXPECT_EQ(RunOptionsDialog(nullptr), IDOK);
    EXPECT_EQ(g_settings.captionDateTime, 1);
    EXPECT_STREQ(g_settings.captionText, "Studio 5");
    EXPECT_EQ(g_settings.autoStartServer, 1);
    EXPECT_EQ(g_settings.minimizeToTray, 1);
    EXPECT_TRUE(configChanged);

    // Opened again with the custom text chosen: that one checked, field enabled.
    g_settings.captionDateTime = 0;
    WhenModal<MainOptions>([](MainOptions* dialog) {
        const Controls c = Of(dialog);
        EXPECT_TRUE(c.customText->isChecked());
        EXPECT_TRUE(c.text->isEnabled());
        EXPECT_EQ(c.text->text(), "Studio 5");
        c.cancel->click();
    });
    EXPECT_EQ(RunOptionsDialog(nullptr), IDCANCEL);
}

// Custom text with an empty field stores an empty caption and date and time
// off; stored flags of any non-zero value come back as 1 or 0.
TEST_F(OptionsTest, EmptyCustomTextIsStoredAndFlagsBecomeZeroOrOne) {
    g_settings.captionDateTime = 1;
    SetCaption("old");
    g_settings.autoStartServer = 7;  // from a file written elsewhere
    g_settings.minimizeToTray = 0;
    WhenModal<MainOptions>([](MainOptions* dialog) {
        const Controls c = Of(dialog);
        EXPECT_TRUE(c.autoStart->isChecked());
        c.customText->click();
        c.text->clear();
        c.ok->click();
    });
    EXPECT_EQ(RunOptionsDialog(nullptr), IDOK);
    EXPECT_EQ(g_settings.captionDateTime, 0);
    EXPECT_EQ(g_settings.captionText[0], '\0');
    for (char byte : g_settings.captionText) EXPECT_EQ(byte, '\0');  // nothing of "old" left
    EXPECT_EQ(g_settings.autoStartServer, 1);
    EXPECT_EQ(g_settings.minimizeToTray, 0);
}

// Cancel leaves the settings and configChanged as they were, even after
// every control was changed; so does closing the window.
TEST_F(OptionsTest, CancelKeepsEverything) {
    SetCaption("keep me");
    g_settings.captionDateTime = 0;
    const AppSettings before = g_settings;
    for (bool escape : {false, true}) {
        WhenModal<MainOptions>([escape](MainOptions* dialog) {
            const Controls c = Of(dialog);
            c.text->setText("changed");
            c.dateTime->click();
            c.autoStart->click();
            c.minimizeToTray->click();
            if (escape)
                dialog->reject();
            else
                c.cancel->click();
        });
        EXPECT_EQ(RunOptionsDialog(nullptr), IDCANCEL);
        EXPECT_EQ(std::memcmp(&g_settings, &before, sizeof before), 0);
        EXPECT_FALSE(configChanged);
    }
}

// 127 characters are stored whole and the 128th typed one is refused; a
// character that takes more than one byte counts with its bytes, so the
// text always fits the record with its terminator.
TEST_F(OptionsTest, TheCaptionTakes127BytesAndNoMore) {
    struct Case {
        QString typed;
        std::string stored;
    };
    const QString eAcute = QString::fromUtf8("\xC3\xA9");  // two bytes in UTF-8
    const Case cases[] = {
        {QString(128, QLatin1Char('x')), std::string(127, 'x')},
        {QString(126, QLatin1Char('y')) + eAcute, std::string(126, 'y')},
        {QString(125, QLatin1Char('z')) + eAcute + QLatin1Char('!'),
         std::string(125, 'z') + "\xC3\xA9"},
    };
    ASSERT_EQ(QString::fromLocal8Bit("\xC3\xA9"), eAcute) << "the tests run in a UTF-8 locale";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.size());
        g_settings.captionDateTime = 0;
        g_settings.autoStartServer = 0;
        WhenModal<MainOptions>([&c](MainOptions* dialog) {
            const Controls controls = Of(dialog);
            controls.text->clear();
            controls.text->setFocus();
            Type(controls.text, c.typed);
            controls.ok->click();
        });
        ASSERT_EQ(RunOptionsDialog(nullptr), IDOK);
        EXPECT_EQ(std::string(g_settings.captionText), c.stored);
        EXPECT_EQ(g_settings.captionText[127], '\0');
        EXPECT_EQ(g_settings.autoStartServer, 0);  // the byte behind the text is its own
    }

    // A saved text of 127 characters comes back whole.
    SetCaption(std::string(127, 'q').c_str());
    WhenModal<MainOptions>([](MainOptions* dialog) {
        EXPECT_EQ(Of(dialog).text->text().size(), 127);
        Of(dialog).ok->click();
    });
    ASSERT_EQ(RunOptionsDialog(nullptr), IDOK);
    EXPECT_EQ(std::string(g_settings.captionText), std::string(127, 'q'));
}

TEST_F(OptionsTest, ControlsSitAtTheirTemplateRectangles) {
    MainOptions dialog;
    dialog.show();
    const DialogUnits units(dialog.font());
    EXPECT_EQ(dialog.windowTitle(), "Options");
    EXPECT_EQ(dialog.size(), QSize(units.ToPixelsX(232), units.ToPixelsY(127)));
    for (const auto& [control, widget] : dialog.Controls().All()) {
        const QRect rect = units.ToPixels(control->x, control->y, control->width, control->height);
        EXPECT_EQ(widget->pos(), rect.topLeft()) << control->id << " " << control->text;
        EXPECT_EQ(widget->height(), rect.height()) << control->id;
        // Check boxes and radio buttons run on to show their whole text.
        if (RunsOn(*control)) {
            EXPECT_GE(widget->width(), rect.width()) << control->id;
        } else {
            EXPECT_EQ(widget->width(), rect.width()) << control->id;
        }
    }
    EXPECT_EQ(Of(&dialog).dateTime->text(), "Date && time");  // one '&' shown
    dialog.reject();
}

}  // namespace
