// The HLS window on its own: where parts and segments end over minutes of
// cameras of every kind, every playlist checked as a strict client would;
// which requests are answered, held or refused; what is kept.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/wmvcore/HlsPlaylistCheck.h"
#include "wmvcore/HlsWindow.h"

using namespace wmv;
using namespace wmvtest;

namespace {

struct Camera {
    const char* name;
    double fps;
    int gop;             // pictures between the encoder's own key frames
    double jitterMs;     // each picture's time off by up to this
    double dropEvery;    // one picture in this many is lost (0: none)
    double forcedEvery;  // a viewer elsewhere asks for a key frame every this many s
    bool soundAlone;
};

class HlsCameras : public ::testing::TestWithParam<Camera> {};

// Three minutes of pictures through the cutter, as the encode would deliver
// them: the key frames the cutter asks for come two pictures later.
TEST_P(HlsCameras, EveryPlaylistKeepsTheRules) {
    const Camera camera = GetParam();
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0, 1);
    const double frame = 1.0 / camera.fps;
    HlsCutter cutter(frame, camera.soundAlone);
    HlsWindow window;
    window.Begin({1, 2, 3}, cutter.TargetDuration(), cutter.PartTarget());
    HlsPlaylistFacts facts, previous;
    bool havePrevious = false;
    int sinceKey = camera.gop, keyIn = -1, parts = 0, segmentsSeen = 0;
    double nextForced = camera.forcedEvery, segmentStart = 0, longest = 0, shortest = 1e9;
    bool open = false;
    for (int i = 0; i < camera.fps * 180; ++i) {
        if (camera.dropEvery > 0 && unit(random) * camera.dropEvery < 1) continue;
        // Times in whole milliseconds, as the encode's time base has them.
        const double t =
            std::round((i * frame + (unit(random) - 0.5) * 2 * camera.jitterMs / 1000) * 1000) /
            1000;
        bool key = camera.soundAlone || sinceKey >= camera.gop || keyIn == 0;
        if (camera.forcedEvery > 0 && t >= nextForced) {
            key = true;
            nextForced += camera.forcedEvery * (0.5 + unit(random));
        }
        if (keyIn >= 0) --keyIn;
        sinceKey = key ? 1 : sinceKey + 1;
        const double length = cutter.PartLength();
        const bool independent = cutter.PartIndependent();
        const HlsCutter::Cut cut = cutter.Next(t, frame, key);
        if (cut.wantKey) keyIn = 2;
        if (cut.part && open) {
            window.AddPart(std::vector<std::uint8_t>(100), length, independent, cut.segment);
            ++parts;
            if (cut.segment) {
                const double segment = t - segmentStart;
                longest = std::max(longest, segment);
                shortest = std::min(shortest, segment);
                ++segmentsSeen;
            }
            const auto faults = CheckHlsPlaylist(window.Playlist("?invite=x"), &facts,
                                                 havePrevious ? &previous : nullptr);
            ASSERT_TRUE(faults.empty()) << faults.front() << "\n" << window.Playlist("");
            previous = facts;
            havePrevious = true;
        }
        if (cut.segment) segmentStart = t;
        open = true;
    }
    EXPECT_GT(segmentsSeen, 100);
    EXPECT_LE(longest, 1.5) << "a segment rounds to the one-second target";
    EXPECT_GE(shortest, camera.soundAlone ? 0.95 : 0.45);
    // About five parts to the second where the pictures come faster.
    if (camera.fps >= 10) EXPECT_GT(parts, segmentsSeen * 4);
}

INSTANTIATE_TEST_SUITE_P(Cameras, HlsCameras,
                         ::testing::Values(Camera{"steady30", 30, 30, 0, 0, 0, false},
                                           Camera{"jitteryAndDropping30", 30, 30, 6, 20, 0, false},
                                           Camera{"keysForcedByOthers", 30, 30, 2, 0, 0.7, false},
                                           Camera{"slow15WithAGopOf30", 15, 30, 3, 0, 0, false},
                                           Camera{"fivePerSecond", 5, 5, 0, 0, 0, false},
                                           Camera{"soundAlone", 44100.0 / 1024, 1, 0, 0, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A window of segments 0 and 1 whole and segment 2 with two parts (parts
// 0 to 11), and whether each request is answered now, held or refused.
TEST(HlsWindowRequests, AnsweredHeldOrRefused) {
    HlsWindow window;
    window.Begin({9}, 1, 0.2);
    for (int segment = 0; segment < 2; ++segment)
        for (int part = 0; part < 5; ++part)
            window.AddPart({static_cast<std::uint8_t>(segment), static_cast<std::uint8_t>(part)},
                           0.2, part == 0, part == 4);
    window.AddPart({2, 0}, 0.2, true, false);
    window.AddPart({2, 1}, 0.2, false, false);
    using R = HlsWindow::Ready;
    using N = std::optional<std::uint64_t>;
    struct Row {
        N msn, part;
        R expected;
    } rows[] = {
        {{}, {}, R::Now},  {1, {}, R::Now},  {2, {}, R::Wait},   {2, 1, R::Now},
        {2, 2, R::Wait},   {2, 4, R::Wait},  {2, 5, R::TooFar},  {3, 0, R::Wait},
        {3, 3, R::TooFar}, {4, {}, R::Wait}, {5, {}, R::TooFar}, {{}, 0, R::TooFar},
        {0, 9, R::Now},
    };
    for (const Row& row : rows)
        EXPECT_EQ(window.PlaylistReady(row.msn, row.part), row.expected)
            << "msn " << (row.msn ? std::to_string(*row.msn) : "-") << " part "
            << (row.part ? std::to_string(*row.part) : "-");
    HlsBytes bytes;
    std::vector<HlsBytes> parts;
    EXPECT_EQ(window.Part(11, &bytes), R::Now);
    EXPECT_EQ(*bytes, (std::vector<std::uint8_t>{2, 1}));
    EXPECT_EQ(window.Part(12, &bytes), R::Wait) << "the preload hint's";
    EXPECT_EQ(window.Part(15, &bytes), R::Gone);
    EXPECT_EQ(window.Segment(1, &parts), R::Now);
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(*parts[4], (std::vector<std::uint8_t>{1, 4}));
    EXPECT_EQ(window.Segment(2, &parts), R::Wait) << "in progress";
    EXPECT_EQ(window.Segment(3, &parts), R::Wait);
    EXPECT_EQ(window.Segment(9, &parts), R::Gone);
    EXPECT_EQ(window.Init(0, &bytes), R::Now);
    EXPECT_EQ(window.Init(1, &bytes), R::Gone);

    // The run ends: nothing more is waited for.
    window.End();
    EXPECT_EQ(window.PlaylistReady(4, 0), R::Now);
    EXPECT_EQ(window.Part(12, &bytes), R::Gone);
    EXPECT_EQ(window.Segment(2, &parts), R::Now) << "the last segment is whole";
    EXPECT_NE(window.Playlist("").find("#EXT-X-ENDLIST\n"), std::string::npos);
}

// Only a few segments and bytes are kept; a new run goes on counting, names
// its own init and lists none of the last run's parts.
TEST(HlsWindowKeeps, ABoundedWindowAndRunsThatFollowOn) {
    HlsWindow window({.segments = 3, .bytes = 1u << 20, .segmentsWithParts = 2});
    window.Begin({1}, 1, 0.2);
    for (int segment = 0; segment < 20; ++segment)
        for (int part = 0; part < 5; ++part)
            window.AddPart(std::vector<std::uint8_t>(1000), 0.2, part == 0, part == 4);
    HlsPlaylistFacts facts;
    EXPECT_TRUE(CheckHlsPlaylist(window.Playlist(""), &facts).empty());
    EXPECT_EQ(facts.mediaSequence, 17u);
    EXPECT_EQ(facts.segments, 3u);
    EXPECT_EQ(window.Bytes(), 15000u);
    const std::string listed = window.Playlist("");
    EXPECT_EQ(listed.find("part89.m4s"), std::string::npos) << "parts of older segments unlisted";
    EXPECT_NE(listed.find("part90.m4s"), std::string::npos);

    // Over the byte bound the oldest go, never the segment in progress.
    HlsWindow small({.segments = 7, .bytes = 3000, .segmentsWithParts = 3});
    small.Begin({1}, 1, 0.2);
    for (int part = 0; part < 10; ++part)
        small.AddPart(std::vector<std::uint8_t>(1000), 0.2, part == 0, false);
    EXPECT_EQ(small.Bytes(), 10000u) << "one segment in progress is kept whole";
    small.AddPart(std::vector<std::uint8_t>(1000), 0.2, false, true);
    small.AddPart(std::vector<std::uint8_t>(1000), 0.2, true, false);
    EXPECT_EQ(small.Bytes(), 1000u);

    window.Begin({2}, 1, 0.2);
    window.AddPart(std::vector<std::uint8_t>(10), 0.2, true, false);
    const std::string next = window.Playlist("?invite=abc");
    EXPECT_NE(next.find("#EXT-X-MEDIA-SEQUENCE:20\n"), std::string::npos) << next;
    EXPECT_NE(next.find("#EXT-X-DISCONTINUITY-SEQUENCE:1\n"), std::string::npos);
    EXPECT_NE(next.find("#EXT-X-MAP:URI=\"init1.mp4?invite=abc\"\n"), std::string::npos);
    EXPECT_NE(next.find("URI=\"part100.m4s?invite=abc\",INDEPENDENT=YES\n"), std::string::npos);
    EXPECT_EQ(next.find("part99"), std::string::npos);
    EXPECT_TRUE(CheckHlsPlaylist(next, &facts).empty());
}

}  // namespace
