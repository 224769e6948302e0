// The Server setup dialog on the test devices and the real codec lists: what
// it shows when it opens, the checks of its numbers and their order, the
// spins, the audio format list, what OK and Cancel write, and the error dump.

#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QToolButton>

#include "DialogTestSupport.h"
#include "diag/ErrorTrail.h"
#include "media/WmProfile.h"
#include "tests/support/Skip.h"
#include "ui/DeviceSettingsPages.h"
#include "ui/Dialogs.h"
#include "ui/HelpWindow.h"
#include "ui/OutputSetupDlg.h"
#include "ui/OutputSetupIds.h"
#include "ui/Templates.h"
#include "ui/toolkit/UpDownControl.h"

namespace {

using namespace outputsetup;
using dialogtest::Choose;
using dialogtest::Entries;

// A codec format as the profile describes it.
struct CodecFormat {
    std::uint32_t index;
    WAVEFORMATEX wave;
};

std::vector<CodecFormat> CodecFormats(std::uint32_t codec) {
    WmProfile profile;
    std::vector<CodecFormat> formats;
    std::uint32_t count = 0;
    if (FAILED(profile.Create()) || FAILED(profile.GetAudioFormatCount(codec, &count))) return {};
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t bytes[20] = {};
        if (FAILED(profile.GetAudioFormat(codec, i, bytes))) continue;
        CodecFormat format{i, {}};
        std::memcpy(&format.wave, bytes, sizeof format.wave);
        formats.push_back(format);
    }
    return formats;
}

std::vector<std::string> CodecNames(bool video) {
    WmProfile profile;
    std::vector<std::string> names;
    std::uint32_t count = 0;
    if (FAILED(profile.Create()) ||
        FAILED(video ? profile.GetVideoCodecCount(&count) : profile.GetAudioCodecCount(&count)))
        return names;
    for (std::uint32_t i = 0; i < count; ++i) {
        wchar_t name[256] = {};
        std::uint32_t length = 256;
        if (video)
            profile.GetVideoCodecName(i, name, &length);
        else
            profile.GetAudioCodecName(i, name, &length);
        names.push_back(QString::fromWCharArray(name).toStdString());
    }
    return names;
}

class SetupDialogTest : public dialogtest::DialogTest {
  protected:
    // Opens the dialog on the capture library as the main window would.
    std::unique_ptr<OutputSetupDlg> Open() {
        auto dialog = std::make_unique<OutputSetupDlg>(&Capture(), &surface_);
        dialog->show();
        return dialog;
    }

    QLineEdit* Field(OutputSetupDlg& dialog, int id) {
        return dialog.Controls().Get<QLineEdit>(id);
    }
    QComboBox* List(OutputSetupDlg& dialog, int id) { return dialog.Controls().Get<QComboBox>(id); }
    UpDownControl* Spin(OutputSetupDlg& dialog, int id) {
        return dialog.Controls().Get<UpDownControl>(id);
    }

    // The microphone's capture formats.
    std::vector<WAVEFORMATEX> MicrophoneFormats() {
        std::unique_ptr<WAVEFORMATEX[]> formats;
        const int count = Capture().GetAudioCaptureFormats(0, &formats);
        return std::vector<WAVEFORMATEX>(formats.get(), formats.get() + std::max(count, 0));
    }

    capture::HeadlessSurface surface_;
};

TEST_F(SetupDialogTest, OpensWithTheDevicesCodecsNumbersAndPlaceOfTheSettings) {
    g_settings.videoDeviceIndex = 0;
    g_settings.audioDeviceIndex = 0;
    g_settings.videoCodecIndex = 1;
    g_settings.audioCodecIndex = 0;
    g_settings.maxUsers = 7;
    g_settings.videoBitrateKbps = 300;
    g_settings.videoFramesPerSecond = 12;
    g_settings.videoQuality = 70;
    g_settings.asfPort = 8181;
    g_settings.httpPort = 32768;
    g_settings.setupDialogLeft = 150;
    g_settings.setupDialogTop = 120;
    auto dialog = Open();

    EXPECT_EQ(dialog->windowTitle(), "Server setup");
    EXPECT_EQ(Entries(List(*dialog, kVideoDeviceList)),
              (std::vector<std::string>{"No video", "Lumacast Test Camera"}));
    EXPECT_EQ(Entries(List(*dialog, kAudioDeviceList)),
              (std::vector<std::string>{"No audio", "Lumacast Test Microphone"}));
    EXPECT_EQ(List(*dialog, kVideoDeviceList)->currentIndex(), 1);
    EXPECT_EQ(List(*dialog, kAudioDeviceList)->currentIndex(), 1);
    const auto videoCodecs = CodecNames(true);
    ASSERT_GE(videoCodecs.size(), 2u);
    EXPECT_EQ(Entries(List(*dialog, kVideoCodecList)), videoCodecs);
    EXPECT_EQ(Entries(List(*dialog, kAudioCodecList)), CodecNames(false));
    EXPECT_EQ(List(*dialog, kVideoCodecList)->currentIndex(), 1);
    EXPECT_EQ(List(*dialog, kAudioCodecList)->currentIndex(), 0);

    struct Number {
        int field, spin;
        const char* text;
        int low, high;
    };
    for (const Number& n :
         {Number{kMaxUsersField, kMaxUsersSpin, "7", 1, 100},
          Number{kBitrateField, kBitrateSpin, "300", 1, 1500},
          Number{kFramesPerSecondField, kFramesPerSecondSpin, "12", 1, 60},
          Number{kQualityField, kQualitySpin, "70", 1, 100}, Number{kAsfPortField, 0, "8181", 0, 0},
          Number{kHttpPortField, 0, "32768", 0, 0}}) {
        SCOPED_TRACE(n.field);
        EXPECT_EQ(Field(*dialog, n.field)->text().toStdString(), n.text);
        if (n.spin) {
            EXPECT_EQ(Spin(*dialog, n.spin)->Position(), std::atoi(n.text));
            EXPECT_EQ(Spin(*dialog, n.spin)->Low(), n.low);
            EXPECT_EQ(Spin(*dialog, n.spin)->High(), n.high);
        }
    }
    EXPECT_EQ(dialog->pos(), QPoint(150, 120));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the wait cursor is gone
    EXPECT_EQ(boxes_.Count(), 0u);
}

// A codec index beyond the list selects nothing; a device index beyond the
// list (the device was unplugged) falls back to none and is written back at
// once, before OK or Cancel.
TEST_F(SetupDialogTest, IndicesBeyondTheListsSelectNothingAndDevicesFallBack) {
    struct Case {
        std::int32_t video, audio, videoCodec;
        int videoShown, audioShown, codecShown;
        std::int32_t videoAfter, audioAfter;
    };
    const Case cases[] = {
        {1, 0, 0, 0, 1, 0, -1, 0},
        {0, 5, 0, 1, 0, 0, 0, -1},
        {9, 9, 50, 0, 0, -1, -1, -1},
        {-1, -1, 0, 0, 0, 0, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.video * 100 + c.audio);
        g_settings.videoDeviceIndex = c.video;
        g_settings.audioDeviceIndex = c.audio;
        g_settings.videoCodecIndex = c.videoCodec;
        auto dialog = Open();
        EXPECT_EQ(List(*dialog, kVideoDeviceList)->currentIndex(), c.videoShown);
        EXPECT_EQ(List(*dialog, kAudioDeviceList)->currentIndex(), c.audioShown);
        EXPECT_EQ(List(*dialog, kVideoCodecList)->currentIndex(), c.codecShown);
        EXPECT_EQ(g_settings.videoDeviceIndex, c.videoAfter);
        EXPECT_EQ(g_settings.audioDeviceIndex, c.audioAfter);
        dialog->reject();
        EXPECT_EQ(g_settings.videoDeviceIndex, c.videoAfter);  // Cancel keeps the reset
    }
}

// Devices plugged in or out while the dialog is open show in its lists
// soon after; each list keeps showing the device it showed, and the
// settings' indices follow their devices.
TEST_F(SetupDialogTest, PluggedDevicesShowWhileOpenAndChoicesFollowTheirDevices) {
    const std::vector<capture::TestDevice> devices = capture::DefaultTestDevices();
    g_settings.videoDeviceIndex = 0;
    g_settings.audioDeviceIndex = 0;
    auto dialog = Open();
    capture::TestDevice second = devices[0];
    second.name = "A Second Camera";
    capture::SetTestDevices({second, devices[0]});
    ASSERT_TRUE(
        testsupport::WaitFor([&] { return List(*dialog, kVideoDeviceList)->count() == 3; }));
    EXPECT_EQ(Entries(List(*dialog, kVideoDeviceList)),
              (std::vector<std::string>{"No video", "A Second Camera", "Lumacast Test Camera"}));
    EXPECT_EQ(List(*dialog, kVideoDeviceList)->currentIndex(), 2);
    EXPECT_EQ(g_settings.videoDeviceIndex, 1);
    // The microphone went: "No audio", and the setting says so.
    EXPECT_EQ(Entries(List(*dialog, kAudioDeviceList)), std::vector<std::string>{"No audio"});
    EXPECT_EQ(List(*dialog, kAudioDeviceList)->currentIndex(), 0);
    EXPECT_EQ(g_settings.audioDeviceIndex, -1);
    dialog->accept();
    EXPECT_EQ(g_settings.videoDeviceIndex, 1);
    EXPECT_EQ(Capture().GetVideoDeviceName(1), std::string("Lumacast Test Camera"));
}

// Each field's bounds and messages: the dialog stays open with nothing
// written, the failing field has the focus and its whole text selected.
TEST_F(SetupDialogTest, EachFieldTakesItsRangeAndRefusesTheRest) {
    struct FieldCase {
        int id;
        std::int32_t AppSettings::*setting;
        int high;
    };
    const FieldCase fields[] = {
        {kMaxUsersField, &AppSettings::maxUsers, 100},
        {kBitrateField, &AppSettings::videoBitrateKbps, 1500},
        {kFramesPerSecondField, &AppSettings::videoFramesPerSecond, 60},
        {kQualityField, &AppSettings::videoQuality, 100},
        {kAsfPortField, &AppSettings::asfPort, 32767},
        {kHttpPortField, &AppSettings::httpPort, 32768},
    };
    for (const FieldCase& f : fields) {
        const std::string range =
            "Please enter an integer between 1 and " + std::to_string(f.high) + ".";
        struct Input {
            std::string text;
            std::int32_t stored;  // 0: refused
            std::string message;
        };
        const Input inputs[] = {
            {"0", 0, range},
            {"1", 1, ""},
            {std::to_string(f.high), f.high, ""},
            {std::to_string(f.high + 1), 0, range},
            {"", 0, "Please enter a positive integer."},
            {"abc", 0, "Please enter a positive integer."},
            {"12abc", 12, ""},
            {"99999999999", 0, range},
        };
        for (const Input& in : inputs) {
            SCOPED_TRACE(std::to_string(f.id) + " '" + in.text + "'");
            g_settings = AppSettings{};
            boxes_.Clear();
            auto dialog = Open();
            QLineEdit* field = Field(*dialog, f.id);
            field->setText(QString::fromStdString(in.text));
            dialog->accept();
            if (in.stored) {
                EXPECT_EQ(dialog->result(), QDialog::Accepted);
                EXPECT_EQ(g_settings.*f.setting, in.stored);
                EXPECT_EQ(boxes_.Count(), 0u);
                continue;
            }
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_NE(dialog->result(), QDialog::Accepted);
            ASSERT_EQ(boxes_.Count(), 1u);
            EXPECT_EQ(boxes_.Boxes()[0].text, in.message);
            EXPECT_EQ(boxes_.Boxes()[0].type, MB_OK | MB_ICONEXCLAMATION);
            EXPECT_EQ(dialog->focusWidget(), field);
            EXPECT_EQ(field->selectedText(), field->text());
            const AppSettings defaults;
            EXPECT_EQ(std::memcmp(&g_settings, &defaults, sizeof defaults), 0)
                << "a refused OK wrote settings";
        }
    }
}

// With two wrong fields the first check in order fails: both leading numbers
// are read before either is checked, then each further field in turn.
TEST_F(SetupDialogTest, ChecksRunInTheirOrder) {
    struct Case {
        std::vector<std::pair<int, const char*>> texts;
        int focused;
        const char* message;
    };
    const Case cases[] = {
        {{{kMaxUsersField, "0"}, {kBitrateField, ""}},
         kBitrateField,
         "Please enter a positive integer."},
        {{{kMaxUsersField, "0"}, {kBitrateField, "0"}},
         kMaxUsersField,
         "Please enter an integer between 1 and 100."},
        {{{kMaxUsersField, "abc"}, {kBitrateField, ""}},
         kMaxUsersField,
         "Please enter a positive integer."},
        {{{kBitrateField, "2000"}, {kFramesPerSecondField, ""}},
         kBitrateField,
         "Please enter an integer between 1 and 1500."},
        {{{kQualityField, "0"}, {kFramesPerSecondField, "61"}},
         kFramesPerSecondField,
         "Please enter an integer between 1 and 60."},
        {{{kHttpPortField, "0"}, {kAsfPortField, "32768"}},
         kAsfPortField,
         "Please enter an integer between 1 and 32767."},
        {{{kHttpPortField, "40000"}, {kQualityField, "101"}},
         kQualityField,
         "Please enter an integer between 1 and 100."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        boxes_.Clear();
        auto dialog = Open();
        for (const auto& [id, text] : c.texts) Field(*dialog, id)->setText(text);
        dialog->accept();
        ASSERT_EQ(boxes_.Count(), 1u);
        EXPECT_EQ(boxes_.Boxes()[0].text, c.message);
        EXPECT_EQ(dialog->focusWidget(), Field(*dialog, c.focused));
        EXPECT_TRUE(dialog->isVisible());
    }
}

// The spins count from their own position, not from the text typed into
// their field, and stop at 1 and their maximum.
TEST_F(SetupDialogTest, SpinsStepFromTheirPositionWithinTheirBounds) {
    struct Case {
        int spin, field;
        std::int32_t AppSettings::*setting;
        std::int32_t opened;
        const char* typed;  // null: nothing typed
        int clicks;         // + up, - down
        const char* shown;
    };
    const Case cases[] = {
        {kBitrateSpin, kBitrateField, &AppSettings::videoBitrateKbps, 48, "500", 1, "49"},
        {kFramesPerSecondSpin, kFramesPerSecondField, &AppSettings::videoFramesPerSecond, 60,
         nullptr, 1, "60"},
        {kFramesPerSecondSpin, kFramesPerSecondField, &AppSettings::videoFramesPerSecond, 1,
         nullptr, -1, "1"},
        {kFramesPerSecondSpin, kFramesPerSecondField, &AppSettings::videoFramesPerSecond, 58,
         nullptr, 5, "60"},
        {kMaxUsersSpin, kMaxUsersField, &AppSettings::maxUsers, 100, "3", 1, "100"},
        {kMaxUsersSpin, kMaxUsersField, &AppSettings::maxUsers, 2, nullptr, -3, "1"},
        {kQualitySpin, kQualityField, &AppSettings::videoQuality, 85, "", -1, "84"},
        {kBitrateSpin, kBitrateField, &AppSettings::videoBitrateKbps, 1500, nullptr, 1, "1500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.spin) + " from " + std::to_string(c.opened));
        g_settings = AppSettings{};
        g_settings.*c.setting = c.opened;
        auto dialog = Open();
        if (c.typed) Field(*dialog, c.field)->setText(c.typed);
        UpDownControl* spin = Spin(*dialog, c.spin);
        for (int i = 0; i < std::abs(c.clicks); ++i)
            (c.clicks > 0 ? spin->UpArrow() : spin->DownArrow())->click();
        EXPECT_EQ(Field(*dialog, c.field)->text().toStdString(), c.shown);
        EXPECT_EQ(spin->Position(), std::atoi(c.shown));
    }
}

// A spin click reads the other fields with the checks of OK: a wrong one
// shows its message, shows its previous value again, and the step is made.
TEST_F(SetupDialogTest, SpinClickWithAWrongFieldStillSteps) {
    auto dialog = Open();
    Field(*dialog, kQualityField)->setText("0");
    Field(*dialog, kAsfPortField)->setText("9000");  // read after the failing field
    Field(*dialog, kMaxUsersField)->setText("9");    // read before it
    Spin(*dialog, kFramesPerSecondSpin)->UpArrow()->click();
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, "Please enter an integer between 1 and 100.");
    EXPECT_EQ(dialog->focusWidget(), Field(*dialog, kQualityField));
    EXPECT_EQ(Field(*dialog, kFramesPerSecondField)->text(), "6");
    EXPECT_EQ(Field(*dialog, kQualityField)->text(), "85");
    EXPECT_EQ(Field(*dialog, kAsfPortField)->text(), "8080");
    EXPECT_EQ(Field(*dialog, kMaxUsersField)->text(), "9");
}

TEST(SetupDialogText, AudioFormatEntries) {
    struct Case {
        std::uint32_t bytesPerSec, rate;
        std::uint16_t channels;
        const char* text;
    };
    const Case cases[] = {
        {16000, 44100, 2, "128 kbps,   44.1 kHz, stereo"},
        {3000, 8000, 1, " 24 kbps,      8 kHz, mono"},
        {4000, 11025, 2, " 32 kbps, 11.025 kHz, stereo"},
        {2755, 22050, 1, " 22 kbps,  22.05 kHz, mono"},  // 22.04 truncated
        {24000, 48000, 6, "192 kbps,     48 kHz, stereo"},
        {600000000, 48000, 2, "505032 kbps,     48 kHz, stereo"},  // 32-bit product wraps
    };
    for (const Case& c : cases)
        EXPECT_EQ(OutputSetupDlg::AudioFormatText(c.bytesPerSec, c.rate, c.channels).toStdString(),
                  c.text);
}

// For every codec: one entry per pair of a 16-bit microphone format and a
// codec format of the same rate and channels, grouped by capture format in
// the device's order, each with its text and item data.
TEST_F(SetupDialogTest, FormatListPairsSixteenBitCaptureFormatsWithCodecFormats) {
    g_settings.audioDeviceIndex = 0;
    auto dialog = Open();
    const auto microphone = MicrophoneFormats();
    ASSERT_EQ(microphone.size(), 28u);  // 7 rates, mono and stereo, 8 and 16 bits
    QComboBox* codecs = List(*dialog, kAudioCodecList);
    QComboBox* formats = List(*dialog, kAudioFormatList);
    ASSERT_GE(codecs->count(), 1);
    for (int codec = 0; codec < codecs->count(); ++codec) {
        SCOPED_TRACE(codec);
        Choose(codecs, codec);
        const auto codecFormats = CodecFormats(static_cast<std::uint32_t>(codec));
        std::vector<std::pair<std::uint32_t, std::string>> expected;
        for (std::size_t d = 0; d < microphone.size(); ++d) {
            if (microphone[d].wBitsPerSample != 16) continue;
            for (const CodecFormat& f : codecFormats) {
                if (f.wave.nSamplesPerSec != microphone[d].nSamplesPerSec ||
                    f.wave.nChannels != microphone[d].nChannels || f.wave.wBitsPerSample != 16)
                    continue;
                expected.emplace_back(
                    static_cast<std::uint32_t>(d) * 65536 + f.index,
                    OutputSetupDlg::AudioFormatText(f.wave.nAvgBytesPerSec, f.wave.nSamplesPerSec,
                                                    f.wave.nChannels)
                        .toStdString());
            }
        }
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(formats->count(), static_cast<int>(expected.size()));
        for (int i = 0; i < formats->count(); ++i) {
            EXPECT_EQ(formats->itemData(i).toUInt(), expected[static_cast<std::size_t>(i)].first);
            EXPECT_EQ(formats->itemText(i).toStdString(),
                      expected[static_cast<std::size_t>(i)].second);
        }
        EXPECT_EQ(formats->currentIndex(), 0);  // the settings' pair is not this codec's
    }
    // The first codec's list holds the usual CD-quality stereo entry.
    Choose(codecs, 0);
    EXPECT_GE(formats->findText("128 kbps,   44.1 kHz, stereo"), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The saved pair is selected again when the dialog opens; after a codec
// change the entry with the same two indices, else the first one.
TEST_F(SetupDialogTest, TheSavedPairIsSelectedAgain) {
    g_settings.audioDeviceIndex = 0;
    std::vector<std::uint32_t> pairs;
    {
        auto dialog = Open();
        QComboBox* formats = List(*dialog, kAudioFormatList);
        for (int i = 0; i < formats->count(); ++i) pairs.push_back(formats->itemData(i).toUInt());
        dialog->reject();
    }
    ASSERT_GE(pairs.size(), 3u);
    for (std::size_t k : {pairs.size() - 1, pairs.size() / 2}) {
        SCOPED_TRACE(k);
        g_settings.audioCaptureFormatIndex = static_cast<std::int32_t>(pairs[k] >> 16);
        g_settings.audioFormatIndex = static_cast<std::int32_t>(pairs[k] & 0xFFFF);
        auto dialog = Open();
        QComboBox* formats = List(*dialog, kAudioFormatList);
        EXPECT_EQ(formats->currentIndex(), static_cast<int>(k));
        dialog->accept();
        EXPECT_EQ(g_settings.audioCaptureFormatIndex, static_cast<std::int32_t>(pairs[k] >> 16));
        EXPECT_EQ(g_settings.audioFormatIndex, static_cast<std::int32_t>(pairs[k] & 0xFFFF));
    }

    QComboBox* codecs = nullptr;
    auto dialog = Open();
    codecs = List(*dialog, kAudioCodecList);
    if (codecs->count() < 2) LUMACAST_SKIP() << "the runtime offers one audio codec only";
    Choose(codecs, 1);
    QComboBox* formats = List(*dialog, kAudioFormatList);
    const auto wanted = static_cast<std::uint32_t>(g_settings.audioCaptureFormatIndex) * 65536 +
                        static_cast<std::uint32_t>(g_settings.audioFormatIndex);
    const int same = formats->findData(QVariant::fromValue(wanted));
    EXPECT_EQ(formats->currentIndex(), same >= 0 ? same : 0);
}

// "No audio" leaves the format list as it is; the microphone again refills
// it; OK after "No audio" stores no device but the format still shown.
TEST_F(SetupDialogTest, NoAudioKeepsTheFormatList) {
    g_settings.audioDeviceIndex = 0;
    auto dialog = Open();
    QComboBox* devices = List(*dialog, kAudioDeviceList);
    QComboBox* formats = List(*dialog, kAudioFormatList);
    const auto before = Entries(formats);
    ASSERT_FALSE(before.empty());
    formats->setCurrentIndex(2);
    Choose(devices, 0);
    EXPECT_EQ(Entries(formats), before);
    EXPECT_EQ(formats->currentIndex(), 2);
    Choose(devices, 1);
    EXPECT_EQ(Entries(formats), before);
    EXPECT_EQ(formats->currentIndex(), 0);  // refilled: the settings' pair is entry 0
    formats->setCurrentIndex(3);
    const std::uint32_t data = formats->itemData(3).toUInt();
    Choose(devices, 0);
    dialog->accept();
    EXPECT_EQ(g_settings.audioDeviceIndex, -1);
    EXPECT_EQ(g_settings.audioCaptureFormatIndex, static_cast<std::int32_t>(data >> 16));
    EXPECT_EQ(g_settings.audioFormatIndex, static_cast<std::int32_t>(data & 0xFFFF));
}

// A microphone with 8-bit formats only has no pair: the list stays empty and
// OK stores 65535 for both format indices.
TEST_F(SetupDialogTest, AnEightBitMicrophoneGivesNoFormatsAndOkStoresAllOnes) {
    capture::TestDevice microphone = capture::DefaultTestDevices()[1];
    microphone.eightBitOnly = true;
    capture::SetTestDevices({capture::DefaultTestDevices()[0], microphone});
    g_settings.audioDeviceIndex = 0;
    auto dialog = Open();
    EXPECT_EQ(MicrophoneFormats().size(), 14u);
    EXPECT_EQ(List(*dialog, kAudioFormatList)->count(), 0);
    EXPECT_EQ(List(*dialog, kAudioFormatList)->currentIndex(), -1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    dialog->accept();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(g_settings.audioFormatIndex, 65535);
    EXPECT_EQ(g_settings.audioCaptureFormatIndex, 65535);
}

TEST_F(SetupDialogTest, OkWritesEveryChoice) {
    g_settings.audioDeviceIndex = 0;
    auto dialog = Open();
    Choose(List(*dialog, kVideoDeviceList), 1);
    Choose(List(*dialog, kVideoCodecList), 1);
    QComboBox* formats = List(*dialog, kAudioFormatList);
    formats->setCurrentIndex(formats->count() - 1);
    const std::uint32_t data = formats->itemData(formats->count() - 1).toUInt();
    const std::pair<int, const char*> texts[] = {
        {kMaxUsersField, "42"}, {kBitrateField, "900"},   {kFramesPerSecondField, "25"},
        {kQualityField, "60"},  {kAsfPortField, "32767"}, {kHttpPortField, "8088"}};
    for (const auto& [id, text] : texts) Field(*dialog, id)->setText(text);
    dialog->move(321, 234);
    dialog->accept();
    ASSERT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(g_settings.videoDeviceIndex, 0);
    EXPECT_EQ(g_settings.audioDeviceIndex, 0);
    EXPECT_EQ(g_settings.videoCodecIndex, 1);
    EXPECT_EQ(g_settings.audioCodecIndex, 0);
    EXPECT_EQ(g_settings.audioCaptureFormatIndex, static_cast<std::int32_t>(data >> 16));
    EXPECT_EQ(g_settings.audioFormatIndex, static_cast<std::int32_t>(data & 0xFFFF));
    EXPECT_EQ(g_settings.maxUsers, 42);
    EXPECT_EQ(g_settings.videoBitrateKbps, 900);
    EXPECT_EQ(g_settings.videoFramesPerSecond, 25);
    EXPECT_EQ(g_settings.videoQuality, 60);
    EXPECT_EQ(g_settings.asfPort, 32767);
    EXPECT_EQ(g_settings.httpPort, 8088);
    EXPECT_EQ(g_settings.setupDialogLeft, 321);
    EXPECT_EQ(g_settings.setupDialogTop, 234);
    EXPECT_FALSE(configChanged);  // the caller's to set
}

// Cancel after a move stores the new place and nothing else; the dialog
// opens there next time.
TEST_F(SetupDialogTest, CancelKeepsOnlyThePosition) {
    g_settings.audioDeviceIndex = 0;
    const AppSettings before = g_settings;
    {
        auto dialog = Open();
        Choose(List(*dialog, kVideoDeviceList), 1);
        Choose(List(*dialog, kAudioCodecList), List(*dialog, kAudioCodecList)->count() - 1);
        Field(*dialog, kHttpPortField)->setText("81");
        Spin(*dialog, kBitrateSpin)->UpArrow()->click();
        dialog->move(345, 267);
        dialog->reject();
        EXPECT_EQ(dialog->result(), QDialog::Rejected);
    }
    AppSettings expected = before;
    expected.setupDialogLeft = 345;
    expected.setupDialogTop = 267;
    EXPECT_EQ(std::memcmp(&g_settings, &expected, sizeof expected), 0);
    auto again = Open();
    EXPECT_EQ(again->pos(), QPoint(345, 267));
}

// The entry point runs the dialog modally and answers with its button.
TEST_F(SetupDialogTest, RunServerSetupAnswersOkOrCancel) {
    dialogtest::WhenModal<OutputSetupDlg>([](OutputSetupDlg* dialog) {
        dialog->Controls().Get<QLineEdit>(kMaxUsersField)->setText("5");
        dialog->Controls().Get<QPushButton>(IDOK)->click();
    });
    EXPECT_EQ(RunServerSetup(nullptr, &Capture(), &surface_), IDOK);
    EXPECT_EQ(g_settings.maxUsers, 5);
    dialogtest::WhenModal<OutputSetupDlg>([](OutputSetupDlg* dialog) {
        dialog->Controls().Get<QLineEdit>(kMaxUsersField)->setText("6");
        dialog->Controls().Get<QPushButton>(IDCANCEL)->click();
    });
    EXPECT_EQ(RunServerSetup(nullptr, &Capture(), &surface_), IDCANCEL);
    EXPECT_EQ(g_settings.maxUsers, 5);
}

// Every codec query rewrites the dump, so it shows the trail as it stands
// after the lists were filled; all succeed, so no "hr" entry is added.
TEST_F(SetupDialogTest, CodecQueriesRewriteTheErrorDump) {
    RecordEntry("before the dialog", 4242, false).SetValue(7);
    const std::size_t entries = g_errorTrail.EntryCount();
    g_settings.audioDeviceIndex = 0;
    auto dialog = Open();
    const std::string text = folder_.ErrorDump();
    EXPECT_NE(text.find("Line 4242   before the dialog == 0x7"), std::string::npos) << text;
    EXPECT_EQ(g_errorTrail.EntryCount(), entries);
    EXPECT_EQ(text.find("assert: hr"), std::string::npos);
}

// Help opens the "using" page of the help folder.
TEST_F(SetupDialogTest, HelpShowsTheUsingPage) {
    std::filesystem::create_directories(folder_.Path() / "help");
    testsupport::WriteWholeFile(folder_.Path() / "help" / "using.htm",
                                "<html><head><title>Using Lumacast</title></head>"
                                "<body>Setup</body></html>");
    auto dialog = Open();
    dialog->Controls().Get<QPushButton>(kHelpButton)->click();
    ASSERT_NE(CurrentHelpWindow(), nullptr);
    EXPECT_EQ(CurrentHelpWindow()->windowTitle(), "Using Lumacast");
    CurrentHelpWindow()->close();
    EXPECT_TRUE(testsupport::WaitFor([] { return CurrentHelpWindow() == nullptr; }));
}

// Each device button does nothing while its list shows no device; otherwise
// it opens the page of the device the dialog shows and leaves the preview
// on the dialog's devices.
TEST_F(SetupDialogTest, DeviceButtonsOpenThePagesOfTheDevicesShown) {
    Capture().wantPreview = true;
    auto dialog = Open();  // first start: "No video", "No audio"
    int pages = 0;
    for (int button : {kVideoFormatButton, kVideoSourceButton, kAudioSourceButton}) {
        dialog->Controls().Get<QPushButton>(button)->click();
    }
    EXPECT_EQ(Capture().GetSelectedVideoIndex(), -1);
    EXPECT_FALSE(Capture().PreviewGraphBuilt());

    struct Case {
        int button;
        const char* title;
        int video, audio;  // the capture library's selection afterwards
    };
    const Case cases[] = {
        {kVideoFormatButton, "Video source", 0, -1},
        {kVideoSourceButton, "Video format", 0, -1},
        {kAudioSourceButton, "Audio source", 0, 0},
    };
    Choose(List(*dialog, kVideoDeviceList), 1);
    Choose(List(*dialog, kAudioDeviceList), 1);
    const std::uint32_t data = List(*dialog, kAudioFormatList)->currentData().toUInt();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        dialogtest::WhenModal<QDialog>([&](QDialog* page) {
            ++pages;
            EXPECT_EQ(page->windowTitle().toStdString(), c.title);
            page->reject();
        });
        dialog->Controls().Get<QPushButton>(c.button)->click();
        EXPECT_EQ(Capture().GetSelectedVideoIndex(), c.video);
        EXPECT_EQ(Capture().GetSelectedAudioIndex(), c.audio);
        EXPECT_TRUE(Capture().Previewing());
    }
    EXPECT_EQ(pages, 3);
    // The audio button's page left the microphone on the listed format.
    if (Capture().AudioCaptureFilter()) {
        const WAVEFORMATEX* wave = Capture().AudioCaptureFilter()->CurrentFormat().Wave();
        ASSERT_NE(wave, nullptr);
        EXPECT_EQ(wave->nSamplesPerSec, MicrophoneFormats()[data >> 16].nSamplesPerSec);
    }
    EXPECT_EQ(boxes_.Count(), 0u);
}

// The dialog's own controls sit at their template rectangles.
TEST_F(SetupDialogTest, ControlsSitAtTheirTemplateRectangles) {
    auto dialog = Open();
    const DialogTemplate* layout = FindDialogTemplate(kServerSetupDialogId);
    const DialogUnits units(dialog->font());
    EXPECT_EQ(dialog->size(), QSize(units.ToPixelsX(394), units.ToPixelsY(158)));
    for (const auto& [control, widget] : dialog->Controls().All()) {
        const QRect rect = units.ToPixels(control->x, control->y, control->width, control->height);
        EXPECT_EQ(widget->pos(), rect.topLeft()) << control->id << " " << control->text;
        if (RunsOn(*control)) {  // labels run on to show their whole text
            EXPECT_GE(widget->width(), rect.width()) << control->id;
        } else if (!qobject_cast<QComboBox*>(widget)) {
            EXPECT_EQ(widget->size(), rect.size()) << control->id;
        }
    }
    EXPECT_EQ(dialog->Controls().All().size(), layout->controls.size());
    // The number fields are right-aligned; the spins have no buddy and only
    // change their field through the dialog.
    for (int id : {kMaxUsersField, kBitrateField, kFramesPerSecondField, kQualityField,
                   kAsfPortField, kHttpPortField})
        EXPECT_TRUE(Field(*dialog, id)->alignment() & Qt::AlignRight) << id;
}

}  // namespace
