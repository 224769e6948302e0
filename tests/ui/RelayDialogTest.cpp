// The Relay dialog and its flow on relay.cfg: what it shows (the key
// masked), what OK checks and writes (the file's other lines kept), and a
// damaged file that is said and left alone.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>
#include <vector>

#include "DialogTestSupport.h"
#include "ui/RelayDialog.h"
#include "ui/RelayDialogIds.h"

namespace {

using dialogtest::WhenModal;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

template <typename T>
T* Find(QDialog* dialog, int id) {
    return dialog->findChild<T*>(QString::number(id));
}

class RelayDialogTest : public dialogtest::DialogTest {
  protected:
    std::string Path() const { return folder_ / "relay.cfg"; }
};

TEST_F(RelayDialogTest, ShowsTheFileMasksTheKeyAndWritesBackKeepingOtherLines) {
    WriteWholeFile(Path(), "# mine\nurl=rtmp://relay.example/live/s3cr3t\nbitrate=5\npublish=0\n");
    WhenModal<QDialog>([](QDialog* dialog) {
        auto* url = Find<QLineEdit>(dialog, relaydialog::kUrlEdit);
        auto* publish = Find<QCheckBox>(dialog, relaydialog::kPublishBox);
        auto* shown = Find<QLabel>(dialog, relaydialog::kShownUrlLabel);
        EXPECT_EQ(url->echoMode(), QLineEdit::Password);
        EXPECT_EQ(shown->text(), "rtmp://relay.example/live/****");
        EXPECT_FALSE(publish->isChecked());
        url->setText("rtmps://other.example:443/app/n3w");
        EXPECT_EQ(shown->text(), "rtmps://other.example:443/app/****");
        publish->click();
        Find<QLineEdit>(dialog, relaydialog::kHlsEdit)->setText("http://edge/hls/s.m3u8");
        Find<QPushButton>(dialog, IDOK)->click();
    });
    EXPECT_EQ(RunRelayDialog(nullptr, Path().c_str()), IDOK);
    EXPECT_EQ(ReadWholeFile(Path()),
              "# mine\nurl=rtmps://other.example:443/app/n3w\nbitrate=5\npublish=1\n"
              "hls=http://edge/hls/s.m3u8\n");
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(RelayDialogTest, OkRefusesWhatCannotBePublishedAndCancelKeepsTheFile) {
    struct Case {
        const char* url;
        bool publish;
        const char* hls;
        const char* message;  // nullptr: accepted
    };
    const std::vector<Case> cases = {
        {"http://relay/live/k", true, "", "The relay address must begin with rtmp:// or rtmps://."},
        {"", true, "", "No relay address."},
        {"rtmp://relay/live", false, "", "The relay address has no stream key."},
        {"rtmp://relay/live/k", true, "edge/hls/s.m3u8",
         "The HLS address must begin with http:// or https://."},
        {"", false, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        WriteWholeFile(Path(), "url=rtmp://keep/live/k\n");
        boxes_.Clear();
        WhenModal<QDialog>([&c](QDialog* dialog) {
            Find<QLineEdit>(dialog, relaydialog::kUrlEdit)->setText(c.url);
            auto* publish = Find<QCheckBox>(dialog, relaydialog::kPublishBox);
            if (publish->isChecked() != c.publish) publish->click();
            Find<QLineEdit>(dialog, relaydialog::kHlsEdit)->setText(c.hls);
            Find<QPushButton>(dialog, IDOK)->click();
            // A refused OK leaves the dialog open: Cancel ends it.
            if (dialog->isVisible()) Find<QPushButton>(dialog, IDCANCEL)->click();
        });
        const int result = RunRelayDialog(nullptr, Path().c_str());
        if (c.message) {
            EXPECT_EQ(result, IDCANCEL);
            ASSERT_EQ(boxes_.Count(), 1u);
            EXPECT_EQ(boxes_.Boxes()[0].text, c.message);
            EXPECT_EQ(ReadWholeFile(Path()), "url=rtmp://keep/live/k\n");
        } else {
            EXPECT_EQ(result, IDOK);
            EXPECT_EQ(ReadWholeFile(Path()), "url=\npublish=0\nhls=\n");
        }
    }
}

TEST_F(RelayDialogTest, ADamagedFileIsSaidAndLeftAlone) {
    const std::string damaged = "url=rtmp://relay/live/k\npublish=yes\n";
    WriteWholeFile(Path(), damaged);
    EXPECT_EQ(RunRelayDialog(nullptr, Path().c_str()), IDCANCEL);
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, "The relay settings file " + Path() +
                                          " is damaged (line 2: publish= must be 0 or 1)\n"
                                          "Correct or remove the file, then open Relay again.");
    EXPECT_EQ(ReadWholeFile(Path()), damaged);
}

}  // namespace
