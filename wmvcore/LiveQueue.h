#pragma once
// One live stream as the stream server keeps it for its viewers: the header,
// a generation (each new stream is one) and the latest units (ASF packets,
// WebM clusters), some of them starts a viewer may begin with (a key frame
// begins there). The writer pushes; each viewer reads through a Reader that
// keeps its place. How a viewer joins and what happens to one that falls
// behind are named policies, and a dropped reader keeps the reason.
//
// Locks: mutex_ guards the stream and is held by the writer's calls and by
// each Reader call only while they look at it; nothing is called under it.
// The units a Reader takes are held, not copied: they stay as they are until
// its next call, even when the queue lets go of them meanwhile.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/hresult.h"

namespace wmv {

class LiveQueue {
  public:
    // Where a reader begins once it has the header.
    enum class JoinPolicy {
        // With the unit pushed next after it first asks (a stream without
        // starts).
        NextUnit,
        // At once with the newest start kept that lies at least the join
        // backlog before the newest unit (or else the oldest start kept),
        // else with the first start to come.
        LatestStart,
        // With the first start pushed after it took the header; a reader
        // that came while no stream ran, or before the running one began,
        // with that stream's first start, since all of it is new to it.
        NextStart,
    };
    // What becomes of a reader that falls behind.
    enum class LagPolicy {
        // Dropped once the queue has let go of the unit it is at.
        Drop,
        // That, and dropped when kEndGrace after the end it is still there.
        DropWithEndGrace,
    };
    enum class DropReason {
        None,
        FellBehind,        // the queue let go of the unit it was at
        NewStream,         // a new stream began
        EndedBeforeStart,  // the stream ended before the reader could begin
        LateAfterEnd,      // still reading kEndGrace after the end
    };
    // What a reader's Next gives.
    enum class Step {
        Wait,   // nothing yet
        Start,  // the start the reader begins with, taken alone
        Units,  // units from the reader's place on
        End,    // the stream ended and the reader has all of it
        Drop,   // the reader is dropped; Dropped says why
    };
    // How much of a stream is kept: the units, their bytes, and the time
    // they span by the times pushed with them (0: no bound by time).
    struct Limits {
        std::size_t units = 0;
        std::size_t bytes = 0;
        std::int64_t spanMs = 0;
    };
    static constexpr auto kEndGrace = std::chrono::seconds(3);

    explicit LiveQueue(LagPolicy lag) : lag_(lag) {}

    // From the writer's thread. Begin starts a new stream (E_INVALIDARG for
    // an empty header); backlogMs is how far back a LatestStart reader
    // begins at least. Push adds a unit with its time in milliseconds
    // (E_INVALIDARG without a running stream or for an empty unit); End:
    // S_FALSE when none runs.
    HRESULT Begin(const std::uint8_t* header, std::size_t size, Limits limits, JoinPolicy join,
                  std::int64_t backlogMs = 0);
    HRESULT Push(const std::uint8_t* unit, std::size_t size, bool start, std::int64_t timeMs = 0);
    HRESULT End();

    // Readers there are now (any thread).
    std::uint32_t Readers() const { return readers_; }

    // One viewer's place in the queue, used by one thread.
    class Reader {
      public:
        explicit Reader(LiveQueue& queue);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;

        // The header of the running stream, for a reader that has none yet;
        // null while no stream runs or the last one has ended.
        std::shared_ptr<const std::vector<std::uint8_t>> TakeHeader();
        bool HasHeader() const { return haveHeader_; }

        // What is due: at most maxUnits units, taken while those before come
        // to less than maxBytes. The reader moves on only by Advance.
        Step Next(std::size_t maxUnits, std::size_t maxBytes);
        // The units of the last Start or Units.
        std::size_t Taken() const { return held_.size(); }
        std::span<const std::uint8_t> Unit(std::size_t index) const { return *held_[index]; }
        // The units taken are the last of a stream that ended.
        bool AtEnd() const { return atEnd_; }
        // Past units delivered, of those taken.
        void Advance(std::size_t units) { seq_ += units; }

        // Whether Next has anything to give or to decide now.
        bool HasData() const;
        // True, and dropped, when the lag policy gives up on the reader
        // after the end.
        bool LateAfterEnd();
        DropReason Dropped() const { return dropped_; }

      private:
        Step DropFor(DropReason reason) {
            dropped_ = reason;
            return Step::Drop;
        }

        LiveQueue& queue_;
        // The stream running when the reader came, if one did.
        bool cameLive_ = false;
        std::uint64_t cameGeneration_ = 0;
        bool haveHeader_ = false;
        bool placed_ = false;   // seq_ is a place in the current stream
        bool started_ = false;  // past the join policy
        std::uint64_t generation_ = 0;
        std::uint64_t seq_ = 0;  // the unit it reads next
        bool atEnd_ = false;
        DropReason dropped_ = DropReason::None;
        // Taken and let go under the queue's lock only, so a unit that no
        // reader holds can be refilled by the writer.
        std::vector<std::shared_ptr<std::vector<std::uint8_t>>> held_;
    };

  private:
    using Bytes = std::vector<std::uint8_t>;
    struct Entry {
        std::shared_ptr<Bytes> bytes;
        bool start = false;
        std::int64_t time = 0;
    };
    static constexpr std::uint64_t kNone = UINT64_MAX;

    // Keeps the buffer of a unit let go for a later one, unless a reader
    // holds it.
    void Recycle(std::shared_ptr<Bytes> bytes);
    // The start a LatestStart reader begins with, or kNone (under mutex_).
    std::uint64_t JoinStart() const;

    const LagPolicy lag_;
    std::atomic<std::uint32_t> readers_{0};

    mutable std::mutex mutex_;
    std::shared_ptr<const Bytes> header_;
    bool live_ = false;  // a header is there
    bool ended_ = false;
    std::chrono::steady_clock::time_point endedAt_{};
    std::uint64_t generation_ = 0;
    Limits limits_;
    JoinPolicy join_ = JoinPolicy::NextUnit;
    std::int64_t backlogMs_ = 0;
    std::deque<Entry> units_;
    std::uint64_t firstSeq_ = 0;     // sequence number of units_.front()
    std::uint64_t head_ = 0;         // sequence number of the next unit
    std::uint64_t streamFirst_ = 0;  // sequence number of the stream's first unit
    std::uint64_t lastStart_ = kNone;
    std::size_t bytes_ = 0;
    std::vector<std::shared_ptr<Bytes>> spare_;
};

}  // namespace wmv
