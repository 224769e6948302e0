// Player windows on the live test stream that the program's own writer
// serves on loopback: moving pictures, the state line, the strip's commands,
// and everything released when the window closes.

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QImage>
#include <QPointer>

#include "settings/ServerList.h"
#include "tests/support/GuiTest.h"
#include "tests/ui/ServersTestSupport.h"
#include "ui/RemotePlayerWindow.h"

namespace {

using State = RemotePlayerWindow::State;
using namespace std::chrono_literals;

ServerEntry EntryFor(const char* name, const std::string& address) {
    ServerEntry entry;
    EXPECT_EQ(MakeServerEntry(name, address, &entry), ServerEntryCheck::kOk);
    return entry;
}

// Mean of one colour channel (0 red, 1 green, 2 blue) over a rectangle.
double MeanChannel(const QImage& image, const QRect& area, int channel) {
    double sum = 0;
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            sum += channel == 0 ? qRed(pixel) : channel == 1 ? qGreen(pixel) : qBlue(pixel);
            ++count;
        }
    }
    return count ? sum / count : 0;
}

bool AllBlack(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != 0) return false;
    return true;
}

class RemotePlayerWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApplication();
        owner_ = std::make_unique<QWidget>();
        ASSERT_TRUE(stream_.Ok()) << "lumastream did not start";
    }

    // Opens a player window as Connect does and waits for its pictures.
    RemotePlayerWindow* Open(const char* name, const std::string& address) {
        return Open(EntryFor(name, address));
    }
    RemotePlayerWindow* Open(const ServerEntry& entry) {
        auto* player = new RemotePlayerWindow(entry, owner_.get());
        player->show();
        return player;
    }
    static bool WaitForPictures(RemotePlayerWindow* player, int frames = 5) {
        const int start = player->FramesShown();
        return testsupport::WaitFor(
            [&] {
                return player->CurrentState() == State::kPlaying &&
                       player->FramesShown() >= start + frames;
            },
            60s);
    }

    testsupport::TestStream stream_;
    std::unique_ptr<QWidget> owner_;  // the main window
};

// The stream's picture: red, green / blue, white quadrants and a moving bar.
TEST_F(RemotePlayerWindowTest, ShowsTheMovingPictureOfTheStream) {
    struct Case {
        const char* name;
        std::string address;
        QString title;
    };
    // The connection URL as a broadcaster shows it, and the stream's own
    // path (which the list stores in lower case, as every address).
    const QString url = QString::fromStdString(stream_.Url());
    const std::vector<Case> cases = {
        {"Studio", stream_.Url(), "Studio ( " + url + " )"},
        {"Studio file", stream_.Url() + "/MyFile.wma", "Studio file ( " + url + "/myfile.wma )"}};
    std::vector<RemotePlayerWindow*> players;
    for (const Case& c : cases) players.push_back(Open(c.name, c.address));

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].address);
        RemotePlayerWindow* player = players[i];
        EXPECT_EQ(player->windowTitle().toStdString(), cases[i].title.toStdString());
        EXPECT_EQ(player->frameGeometry(), QRect(100, 100, 200, 150));
        ASSERT_TRUE(WaitForPictures(player)) << player->StateText().toStdString();
        EXPECT_EQ(player->StateText(), "Playing");

        // Stretched over the window's whole width, above the strip.
        QWidget* view = player->VideoView();
        EXPECT_EQ(view->width(), player->width());
        EXPECT_GT(view->height(), player->height() / 2);
        const QImage first = view->grab().toImage();
        const int w = first.width(), h = first.height();
        const QRect topLeft(w / 16, h / 16, w / 4, h / 4);
        const QRect topRight(w * 9 / 16, h / 16, w / 4, h / 4);
        const QRect bottomLeft(w / 16, h * 9 / 16, w / 4, h / 4);
        EXPECT_GT(MeanChannel(first, topRight, 1), 150);  // green
        EXPECT_LT(MeanChannel(first, topLeft, 1), 100);
        EXPECT_GT(MeanChannel(first, bottomLeft, 2), 150);  // blue
        EXPECT_LT(MeanChannel(first, bottomLeft, 1), 100);

        // The bar moves on.
        QImage later;
        EXPECT_TRUE(testsupport::WaitFor(
            [&] {
                later = view->grab().toImage();
                return later != first;
            },
            10s));
    }
    for (RemotePlayerWindow* player : players) player->close();
}

TEST_F(RemotePlayerWindowTest, StripStopsPausesAndPlaysAgain) {
    RemotePlayerWindow* player = Open("Studio", stream_.Url());
    ASSERT_TRUE(WaitForPictures(player)) << player->StateText().toStdString();

    player->Stop();
    EXPECT_EQ(player->StateText(), "Stopped");
    testsupport::ProcessEventsFor(300ms);
    const int shown = player->FramesShown();
    testsupport::ProcessEventsFor(500ms);
    EXPECT_EQ(player->FramesShown(), shown);
    EXPECT_TRUE(AllBlack(player->VideoView()->grab().toImage()));

    player->Play();
    ASSERT_TRUE(WaitForPictures(player)) << player->StateText().toStdString();

    player->Pause();
    EXPECT_EQ(player->StateText(), "Paused");
    player->Play();
    EXPECT_TRUE(WaitForPictures(player)) << player->StateText().toStdString();

    player->SetVolume(30);
    double volume = 0;
    g_object_get(player->Pipeline(), "volume", &volume, nullptr);
    EXPECT_NEAR(volume, 0.3, 1e-6);
    player->close();
}

TEST_F(RemotePlayerWindowTest, StreamsThatCannotPlayShowTheirErrorAndStay) {
    struct Case {
        std::string address;
        QString reason;  // in the error GStreamer gives
    };
    const std::vector<Case> cases = {
        {"http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()), "connection"},
        // A list file written by hand may hold any scheme.
        {"nosuch://127.0.0.1/live", "nosuch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ServerEntry entry;
        SetServerField(entry.name, sizeof entry.name, "Gone");
        SetServerField(entry.address, sizeof entry.address, c.address);
        QPointer<RemotePlayerWindow> player = Open(entry);
        EXPECT_TRUE(
            testsupport::WaitFor([&] { return player->CurrentState() == State::kFailed; }, 30s))
            << player->StateText().toStdString();
        // The first error says why; the ones it brings about do not replace it.
        testsupport::ProcessEventsFor(300ms);
        EXPECT_TRUE(player->StateText().startsWith("Error: ")) << player->StateText().toStdString();
        EXPECT_TRUE(player->StateText().contains(c.reason)) << player->StateText().toStdString();
        ASSERT_FALSE(player.isNull());
        EXPECT_TRUE(player->isVisible());
        player->close();
    }
}

TEST_F(RemotePlayerWindowTest, AStreamThatEndsSaysSo) {
    RemotePlayerWindow* player = Open("Studio", stream_.Url());
    ASSERT_TRUE(WaitForPictures(player)) << player->StateText().toStdString();
    stream_.End();
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {
            return player->CurrentState() == State::kEnded ||
                   player->CurrentState() == State::kFailed;
        },
        60s))
        << player->StateText().toStdString();
    EXPECT_EQ(player->StateText().toStdString(), "Stream ended");
    EXPECT_TRUE(player->isVisible());

    // Play tries again, and says why it cannot.
    player->Play();
    EXPECT_TRUE(testsupport::WaitFor([&] { return player->CurrentState() == State::kFailed; }, 30s))
        << player->StateText().toStdString();
    player->close();
}

TEST_F(RemotePlayerWindowTest, ClosingStopsAndReleasesThePipeline) {
    // A first window brings up what GStreamer keeps for the whole process.
    QPointer<RemotePlayerWindow> warmUp = Open("Warm-up", stream_.Url());
    ASSERT_TRUE(WaitForPictures(warmUp)) << warmUp->StateText().toStdString();
    warmUp->close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return warmUp.isNull(); }));
    testsupport::ProcessEventsFor(500ms);
    const int baseline = serverstest::ThreadCount();

    QPointer<RemotePlayerWindow> player = Open("Studio", stream_.Url());
    ASSERT_TRUE(WaitForPictures(player)) << player->StateText().toStdString();
    EXPECT_GT(serverstest::ThreadCount(), baseline);
    bool finalized = false;
    g_object_weak_ref(
        G_OBJECT(player->Pipeline()),
        [](gpointer flag, GObject*) { *static_cast<bool*>(flag) = true; }, &finalized);

    player->close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return player.isNull(); }));
    EXPECT_TRUE(finalized) << "the pipeline is still referenced";
    // Idle threads of GLib's pools may linger a while before they go.
    EXPECT_TRUE(testsupport::WaitFor([&] { return serverstest::ThreadCount() <= baseline; }, 60s))
        << serverstest::ThreadCount() << " threads, " << baseline << " before";
}

}  // namespace
