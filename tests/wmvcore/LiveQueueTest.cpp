// The live queue's policies, played on units that carry their own number:
// where a reader begins, when it is dropped and why, and what it holds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wmvcore/LiveQueue.h"

using namespace wmv;

namespace {

using Join = LiveQueue::JoinPolicy;
using Step = LiveQueue::Step;

const char* ReasonName(LiveQueue::DropReason reason) {
    switch (reason) {
        case LiveQueue::DropReason::None:
            return "none";
        case LiveQueue::DropReason::FellBehind:
            return "fell-behind";
        case LiveQueue::DropReason::NewStream:
            return "new-stream";
        case LiveQueue::DropReason::EndedBeforeStart:
            return "ended-before-start";
        case LiveQueue::DropReason::LateAfterEnd:
            return "late-after-end";
    }
    return "?";
}

struct Script {
    Join join;
    LiveQueue::Limits limits;
    std::size_t maxUnits;
    const char* steps;
    std::int64_t backlogMs = 0;
};

// Plays the steps on a queue and one reader: H a stream begins (its header
// is its number), k a start is pushed, u another unit (each holds the
// number of units pushed before it, and its time is a tenth of a second
// for each of them), E the stream ends, R the reader comes (else it comes
// at its first J), J the reader takes
// the header, n it takes what is due and moves past it. Tells what J and n
// gave: the header's number or "-", "wait", "S" and the start it begins
// with, the units ("|" after the last of an ended stream), "end", or "drop:"
// and the reason.
std::string Play(const Script& script) {
    LiveQueue queue(LiveQueue::LagPolicy::Drop);
    std::optional<LiveQueue::Reader> came;
    const auto reader = [&]() -> LiveQueue::Reader& {
        if (!came) came.emplace(queue);
        return *came;
    };
    std::uint8_t streams = 0, pushed = 0;
    std::string seen;
    for (const char* step = script.steps; *step; ++step) {
        std::string got;
        switch (*step) {
            case 'H':
                ++streams;
                EXPECT_EQ(queue.Begin(&streams, 1, script.limits, script.join, script.backlogMs),
                          S_OK);
                break;
            case 'k':
            case 'u':
                EXPECT_EQ(queue.Push(&pushed, 1, *step == 'k', pushed * 100), S_OK);
                ++pushed;
                break;
            case 'E':
                EXPECT_EQ(queue.End(), S_OK);
                break;
            case 'R':
                reader();
                break;
            case 'J': {
                const auto header = reader().TakeHeader();
                got = header ? "h" + std::to_string((*header)[0]) : "-";
                break;
            }
            case 'n':
                switch (reader().Next(script.maxUnits, SIZE_MAX)) {
                    case Step::Wait:
                        got = "wait";
                        break;
                    case Step::End:
                        got = "end";
                        break;
                    case Step::Drop:
                        got = std::string("drop:") + ReasonName(reader().Dropped());
                        break;
                    case Step::Start:
                        got = "S" + std::to_string(reader().Unit(0)[0]);
                        reader().Advance(1);
                        break;
                    case Step::Units:
                        for (std::size_t i = 0; i < reader().Taken(); ++i)
                            got += (i ? "," : "") + std::to_string(reader().Unit(i)[0]);
                        if (reader().AtEnd()) got += "|";
                        reader().Advance(reader().Taken());
                        break;
                }
                break;
        }
        if (!got.empty()) seen += (seen.empty() ? "" : " ") + got;
    }
    return seen;
}

TEST(LiveQueue, PoliciesDecideWhereAReaderBeginsAndWhenItIsDropped) {
    constexpr LiveQueue::Limits kRoomy{64, SIZE_MAX};
    const struct {
        const char* what;
        Script script;
        const char* seen;
    } cases[] = {
        {"a joining reader skips to the next start after its header",
         {Join::NextStart, kRoomy, SIZE_MAX, "HukJuukun"},
         "h1 4,5"},
        {"a reader begins at once with the newest start kept, alone",
         {Join::LatestStart, kRoomy, SIZE_MAX, "HkukuJnn"},
         "h1 S2 3"},
        {"a reader begins with the newest start at least its backlog back",
         {Join::LatestStart, kRoomy, SIZE_MAX, "HkukuukuJnn", 250},
         "h1 S2 3,4,5,6"},
        {"without a start that far back, with the oldest one kept",
         {Join::LatestStart, kRoomy, SIZE_MAX, "HukuukuJn", 10000},
         "h1 S1"},
        {"units older than the span kept are let go",
         {Join::NextUnit, {64, SIZE_MAX, 250}, SIZE_MAX, "HJnuuuun"},
         "h1 wait drop:fell-behind"},
        {"a start that the next push lets go is passed over",
         {Join::LatestStart, {3, SIZE_MAX}, SIZE_MAX, "HkuuJnukn"},
         "h1 wait S4"},
        {"without starts a reader begins with the unit after its first ask",
         {Join::NextUnit, kRoomy, SIZE_MAX, "HuJunun"},
         "h1 wait 2"},
        {"a reader takes no more units than it asks for",
         {Join::NextUnit, kRoomy, 2, "HJnuuunn"},
         "h1 wait 0,1 2"},
        {"a reader the queue lets go past is dropped",
         {Join::NextUnit, {2, SIZE_MAX}, SIZE_MAX, "HJnuuun"},
         "h1 wait drop:fell-behind"},
        {"the bytes kept are bounded too",
         {Join::NextUnit, {64, 2}, SIZE_MAX, "HJnuuun"},
         "h1 wait drop:fell-behind"},
        {"a waiting reader whose next start is gone is dropped",
         {Join::NextStart, {2, SIZE_MAX}, SIZE_MAX, "HJnuuun"},
         "h1 wait drop:fell-behind"},
        {"a new stream drops the readers of the last",
         {Join::NextStart, kRoomy, SIZE_MAX, "HJknHkn"},
         "h1 0 drop:new-stream"},
        {"an end before the next start drops a waiting reader",
         {Join::NextStart, kRoomy, SIZE_MAX, "HJunEn"},
         "h1 wait drop:ended-before-start"},
        {"an end before any start kept drops a waiting reader",
         {Join::LatestStart, kRoomy, SIZE_MAX, "HuJnEn"},
         "h1 wait drop:ended-before-start"},
        {"the last units of an ended stream come with the end",
         {Join::NextUnit, kRoomy, SIZE_MAX, "HJnuuEnn"},
         "h1 wait 0,1| end"},
        {"an ended stream gives no header; the next one does",
         {Join::NextStart, kRoomy, SIZE_MAX, "HEJnHJkn"},
         "- wait h2 0"},
        // A browser viewer that comes while its rendition is stopped starts
        // it; the first key frame may be pushed before the server takes the
        // header for the viewer.
        {"a reader that came before the stream begins with its first start",
         {Join::NextStart, kRoomy, SIZE_MAX, "RHukuJn"},
         "h1 1,2"},
        {"and so does one that came after the last stream ended",
         {Join::NextStart, kRoomy, SIZE_MAX, "HkERHukJn"},
         "h2 2"},
    };
    for (const auto& c : cases) EXPECT_EQ(Play(c.script), c.seen) << c.what;
}

// The writer refills the buffers of units it let go; one that a reader still
// holds (a send in progress) must not be among them.
TEST(LiveQueue, UnitsAReaderHoldsStayAsTheyWereWhileTheQueueMovesOn) {
    LiveQueue queue(LiveQueue::LagPolicy::Drop);
    const std::uint8_t header = 1;
    ASSERT_EQ(queue.Begin(&header, 1, {2, SIZE_MAX}, Join::NextUnit), S_OK);
    LiveQueue::Reader reader(queue);
    ASSERT_TRUE(reader.TakeHeader());
    ASSERT_EQ(reader.Next(SIZE_MAX, SIZE_MAX), Step::Wait);
    const std::vector<std::uint8_t> a(100, 'a'), b(100, 'b'), x(100, 'x');
    ASSERT_EQ(queue.Push(a.data(), a.size(), false), S_OK);
    ASSERT_EQ(queue.Push(b.data(), b.size(), false), S_OK);
    ASSERT_EQ(reader.Next(SIZE_MAX, SIZE_MAX), Step::Units);
    ASSERT_EQ(reader.Taken(), 2u);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(queue.Push(x.data(), x.size(), false), S_OK);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), reader.Unit(0).begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), reader.Unit(1).begin()));
    // The queue has moved on without it.
    EXPECT_EQ(reader.Next(SIZE_MAX, SIZE_MAX), Step::Drop);
    EXPECT_EQ(reader.Dropped(), LiveQueue::DropReason::FellBehind);
}

// A viewer that comes after the end has nothing to write while it waits for
// a new stream or its grace to run out: the server must not poll it for
// writing, or it spins.
TEST(LiveQueue, AReaderWithoutAHeaderHasNothingDue) {
    LiveQueue queue(LiveQueue::LagPolicy::DropWithEndGrace);
    const std::uint8_t header = 1, unit = 2;
    ASSERT_EQ(queue.Begin(&header, 1, {4, 1024}, Join::NextUnit), S_OK);
    ASSERT_EQ(queue.Push(&unit, 1, false), S_OK);
    LiveQueue::Reader early(queue);
    ASSERT_NE(early.TakeHeader(), nullptr);
    ASSERT_EQ(queue.End(), S_OK);
    LiveQueue::Reader late(queue);
    EXPECT_EQ(late.TakeHeader(), nullptr);
    EXPECT_FALSE(late.HasData());
    EXPECT_TRUE(early.HasData());  // its end is still to be told
}

}  // namespace
