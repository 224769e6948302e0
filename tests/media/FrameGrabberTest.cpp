// The frame receiver and the caption on synthetic frames: lengths, the lock
// protocol, rebuilding on a new frame length, and where the caption's pixels
// land in the picture as shown.

#include <QDate>
#include <QFontMetrics>
#include <QLocale>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "MediaTestSupport.h"
#include "media/Caption.h"
#include "media/FrameGrabber.h"

namespace {

std::vector<std::uint8_t> Frame(int width, int height, std::uint8_t value) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(capture::DibStride(width) * height),
                                     value);
}

// Draws a fixed text into every frame.
struct TextCaption final : FrameCallback {
    explicit TextCaption(QString t) : text(std::move(t)) {}
    void OnFrame(FrameDC* dc) override { DrawCaptionText(dc, text); }
    QString text;
};

TEST(FrameGrabber, FrameLengthAndLockProtocol) {
    FrameGrabberCallback grabber(6, 3, nullptr);  // 6 px: 18 bytes a row, padded to 20
    EXPECT_EQ(grabber.GetFrameLength(), 0);       // no frame within the wait
    EXPECT_EQ(grabber.GetFrameWidth(), 6);
    EXPECT_EQ(grabber.GetFrameHeight(), 3);

    auto first = Frame(6, 3, 0x11);
    ASSERT_EQ(grabber.BufferCB(0.0, first.data(), static_cast<long>(first.size())), S_OK);
    EXPECT_EQ(grabber.GetFrameLength(), 60);
    std::uint8_t* pixels = grabber.LockFrame();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels[0], 0x11);
    EXPECT_EQ(pixels[59], 0x11);

    // While locked, a new frame passes unchanged and the pixels keep the old one.
    auto second = Frame(6, 3, 0x22);
    EXPECT_EQ(grabber.BufferCB(0.1, second.data(), static_cast<long>(second.size())), S_FALSE);
    EXPECT_EQ(second, Frame(6, 3, 0x22));
    EXPECT_EQ(pixels[0], 0x11);
    // Locking again while locked does not wait and gives the same pixels.
    EXPECT_EQ(grabber.LockFrame(), pixels);
    grabber.UnlockFrame();

    ASSERT_EQ(grabber.BufferCB(0.2, second.data(), static_cast<long>(second.size())), S_OK);
    pixels = grabber.LockFrame();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels[30], 0x22);
    grabber.UnlockFrame();
}

TEST(FrameGrabber, NewFrameLengthRebuildsTheBuffer) {
    FrameGrabberCallback grabber(320, 240, nullptr);
    auto small = Frame(320, 240, 0x40);
    ASSERT_EQ(grabber.BufferCB(0.0, small.data(), static_cast<long>(small.size())), S_OK);
    ASSERT_NE(grabber.GetFrameDC(), nullptr);
    EXPECT_EQ(grabber.GetFrameDC()->Image().width(), 320);

    // A longer frame than the size known: it is kept whole, never cut.
    auto large = Frame(640, 480, 0x50);
    large.back() = 0x99;
    ASSERT_EQ(grabber.BufferCB(0.1, large.data(), static_cast<long>(large.size())), S_OK);
    EXPECT_EQ(grabber.GetFrameLength(), static_cast<int>(large.size()));
    std::uint8_t* pixels = grabber.LockFrame();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels[0], 0x50);
    EXPECT_EQ(pixels[large.size() - 1], 0x99);
    grabber.UnlockFrame();
    EXPECT_EQ(large.back(), 0x99);

    // Back to the first size: rebuilt again and drawable.
    ASSERT_EQ(grabber.BufferCB(0.2, small.data(), static_cast<long>(small.size())), S_OK);
    EXPECT_EQ(grabber.GetFrameLength(), static_cast<int>(small.size()));
    ASSERT_NE(grabber.GetFrameDC(), nullptr);
}

TEST(FrameGrabber, LockWaitsForACopyInProgress) {
    // Frames race against lock and unlock; every locked picture is one
    // whole frame, never a mix of two. Each frame is one value throughout,
    // a new value each time.
    FrameGrabberCallback grabber(64, 48, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::thread producer([&] {
        std::vector<std::uint8_t> frame = Frame(64, 48, 0);
        for (std::uint8_t value = 0; !stop; ++value) {
            std::memset(frame.data(), value, frame.size());
            if (grabber.BufferCB(0.0, frame.data(), static_cast<long>(frame.size())) == S_OK)
                ++delivered;
        }
    });
    // Each lock after the producer has brought a new frame, while it is
    // busy with the next one.
    const std::ptrdiff_t kFrameBytes = 64 * 3 * 48;
    int inspected = 0, mixed = 0;
    std::set<std::uint8_t> values;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (inspected < 200 && std::chrono::steady_clock::now() < deadline) {
        const int before = delivered;
        while (delivered == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        const std::uint8_t* pixels = grabber.LockFrame();
        if (!pixels) {
            grabber.UnlockFrame();
            ADD_FAILURE() << "no frame to lock within a second";
            break;
        }
        ++inspected;
        values.insert(pixels[0]);
        if (std::count(pixels, pixels + kFrameBytes, pixels[0]) != kFrameBytes) ++mixed;
        grabber.UnlockFrame();
    }
    stop = true;
    producer.join();
    EXPECT_EQ(inspected, 200) << "frames locked within 10 s";
    EXPECT_GE(values.size(), 50u) << "different frames locked";
    EXPECT_EQ(mixed, 0) << "locked frames that mixed two";
}

TEST(Caption, TextIsTheCustomTextOrDateAndTime) {
    EnsureApplication();
    EXPECT_EQ(CaptionText(false, "Live from the shed"), QString("Live from the shed"));
    EXPECT_EQ(CaptionText(false, ""), QString());
    const QString stamp = CaptionText(true, "ignored");
    const QString date = QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat);
    EXPECT_TRUE(stamp.startsWith(date + " ")) << stamp.toStdString();
    EXPECT_FALSE(stamp.contains("ignored"));
}

struct Pixel {
    int x, y;
};

TEST(Caption, ShadowAndTextLandTopLeftOfThePictureAsShown) {
    EnsureApplication();
    const int width = 203, height = 60;  // width not a multiple of 4
    const int stride = capture::DibStride(width);
    for (const char* text : {"Hg 12:34", "|", "Wide caption text that runs off the picture edge"}) {
        FrameGrabberCallback grabber(width, height, nullptr);
        TextCaption caption(QString::fromLatin1(text));
        grabber.SetFrameCallback(&caption);
        auto frame = Frame(width, height, 0x80);
        ASSERT_EQ(grabber.BufferCB(0.0, frame.data(), static_cast<long>(frame.size())), S_OK);

        // Read the picture as shown: row y from the top is buffer row height-1-y.
        auto at = [&](int x, int y) -> const std::uint8_t* {
            return frame.data() + static_cast<std::size_t>(height - 1 - y) * stride + x * 3;
        };
        auto is = [&](int x, int y, std::uint8_t v) {
            if (x < 0 || y < 0 || x >= width || y >= height) return false;
            const std::uint8_t* p = at(x, y);
            return p[0] == v && p[1] == v && p[2] == v;
        };
        std::vector<Pixel> white, black;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (is(x, y, 0xFF))
                    white.push_back({x, y});
                else if (is(x, y, 0x00))
                    black.push_back({x, y});
                else
                    ASSERT_TRUE(is(x, y, 0x80)) << "smoothed or stray pixel at " << x << "," << y;
            }
        }
        ASSERT_FALSE(white.empty()) << text;
        ASSERT_FALSE(black.empty()) << text;
        const int lineHeight = QFontMetrics(QGuiApplication::font()).height();
        for (const Pixel& p : white) {
            EXPECT_GE(p.x, 2);
            EXPECT_GE(p.y, 2);
            EXPECT_LT(p.y, 2 + lineHeight);
            // The shadow lies one pixel right and down of the text.
            EXPECT_TRUE(is(p.x + 1, p.y + 1, 0x00) || is(p.x + 1, p.y + 1, 0xFF) ||
                        p.x + 1 >= width)
                << p.x << "," << p.y;
        }
        for (const Pixel& p : black) {
            EXPECT_GE(p.x, 3);
            EXPECT_GE(p.y, 3);
            EXPECT_TRUE(is(p.x - 1, p.y - 1, 0xFF))
                << "shadow without text at " << p.x << "," << p.y;
        }
        // The padding bytes of each row are left alone.
        for (int row = 0; row < height; ++row)
            for (int b = width * 3; b < stride; ++b)
                EXPECT_EQ(frame[static_cast<std::size_t>(row * stride + b)], 0x80);
    }
}

TEST(Caption, EmptyTextLeavesFramesUnchanged) {
    EnsureApplication();
    FrameGrabberCallback grabber(32, 16, nullptr);
    TextCaption caption{QString()};
    grabber.SetFrameCallback(&caption);
    auto frame = Frame(32, 16, 0x37);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
    const auto original = frame;
    ASSERT_EQ(grabber.BufferCB(0.0, frame.data(), static_cast<long>(frame.size())), S_OK);
    EXPECT_EQ(frame, original);
    std::uint8_t* pixels = grabber.LockFrame();
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(0, std::memcmp(pixels, original.data(), original.size()));
    grabber.UnlockFrame();
}

}  // namespace
