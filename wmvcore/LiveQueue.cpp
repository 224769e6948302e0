#include "wmvcore/LiveQueue.h"

#include <algorithm>
#include <new>
#include <utility>

namespace wmv {
namespace {

// Buffers of units let go that are kept for the next ones: enough for a
// burst, so a queue that is full refills instead of allocating.
constexpr std::size_t kSpareUnits = 64;

}  // namespace

void LiveQueue::Recycle(std::shared_ptr<Bytes> bytes) {
    // Every reference a reader has is made and let go under mutex_, held
    // here: one that is alone stays alone while it is refilled.
    if (bytes.use_count() == 1 && spare_.size() < kSpareUnits) spare_.push_back(std::move(bytes));
}

HRESULT LiveQueue::Begin(const std::uint8_t* header, std::size_t size, Limits limits,
                         JoinPolicy join, std::int64_t backlogMs) {
    if (!header || size == 0) return E_INVALIDARG;
    std::shared_ptr<const Bytes> copy;
    try {
        copy = std::make_shared<const Bytes>(header, header + size);
    } catch (const std::bad_alloc&) {
        std::lock_guard lock(mutex_);
        live_ = false;
        return E_OUTOFMEMORY;
    }
    std::lock_guard lock(mutex_);
    header_.swap(copy);  // the last stream's header goes once the lock is let go
    limits_ = limits;
    join_ = join;
    backlogMs_ = backlogMs;
    for (Entry& entry : units_) Recycle(std::move(entry.bytes));
    units_.clear();
    bytes_ = 0;
    firstSeq_ = head_;
    streamFirst_ = head_;
    lastStart_ = kNone;
    live_ = true;
    ended_ = false;
    ++generation_;
    return S_OK;
}

HRESULT LiveQueue::Push(const std::uint8_t* unit, std::size_t size, bool start,
                        std::int64_t timeMs) {
    if (!unit) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!live_ || ended_ || size == 0) return E_INVALIDARG;
    while (!units_.empty() &&
           (bytes_ + size > limits_.bytes || units_.size() >= limits_.units ||
            (limits_.spanMs > 0 && timeMs - units_.front().time > limits_.spanMs))) {
        bytes_ -= units_.front().bytes->size();
        Recycle(std::move(units_.front().bytes));
        units_.pop_front();
        ++firstSeq_;
    }
    Entry entry;
    entry.start = start;
    entry.time = timeMs;
    if (!spare_.empty()) {
        entry.bytes = std::move(spare_.back());
        spare_.pop_back();
    }
    try {
        if (!entry.bytes) entry.bytes = std::make_shared<Bytes>();
        entry.bytes->assign(unit, unit + size);
        units_.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    bytes_ += size;
    if (start) lastStart_ = head_;
    ++head_;
    return S_OK;
}

std::uint64_t LiveQueue::JoinStart() const {
    if (lastStart_ == kNone || lastStart_ < firstSeq_) return kNone;
    // The newest start far enough back, else the oldest one there is.
    const std::int64_t newest = units_.back().time;
    std::uint64_t found = kNone;
    for (std::uint64_t seq = lastStart_ + 1; seq-- > firstSeq_;) {
        const Entry& entry = units_[seq - firstSeq_];
        if (!entry.start) continue;
        found = seq;
        if (newest - entry.time >= backlogMs_) break;
    }
    // Not a start that the next unit pushed lets go: the reader would begin
    // a unit short of falling behind.
    if (found == firstSeq_ && units_.size() >= limits_.units) {
        found = kNone;
        for (std::uint64_t seq = firstSeq_ + 1; seq < head_ && found == kNone; ++seq)
            if (units_[seq - firstSeq_].start) found = seq;
    }
    return found;
}

HRESULT LiveQueue::End() {
    std::lock_guard lock(mutex_);
    if (!live_ || ended_) return S_FALSE;
    ended_ = true;
    endedAt_ = std::chrono::steady_clock::now();
    return S_OK;
}

LiveQueue::Reader::Reader(LiveQueue& queue) : queue_(queue) {
    {
        std::lock_guard lock(queue_.mutex_);
        cameLive_ = queue_.live_ && !queue_.ended_;
        cameGeneration_ = queue_.generation_;
    }
    ++queue_.readers_;
}

LiveQueue::Reader::~Reader() {
    {
        std::lock_guard lock(queue_.mutex_);
        held_.clear();
    }
    --queue_.readers_;
}

std::shared_ptr<const std::vector<std::uint8_t>> LiveQueue::Reader::TakeHeader() {
    LiveQueue& q = queue_;
    std::lock_guard lock(q.mutex_);
    if (haveHeader_ || !q.live_ || q.ended_) return nullptr;
    haveHeader_ = true;
    generation_ = q.generation_;
    started_ = false;
    placed_ = q.join_ == JoinPolicy::NextStart;
    // A stream that began since the reader came is new to it from its first
    // unit on: a start pushed before the reader got here to take the header
    // is still its own (else it waits a whole spacing of starts).
    const bool begunSinceCame = !cameLive_ || cameGeneration_ != q.generation_;
    if (placed_) seq_ = begunSinceCame ? std::max(q.streamFirst_, q.firstSeq_) : q.head_;
    return q.header_;
}

LiveQueue::Step LiveQueue::Reader::Next(std::size_t maxUnits, std::size_t maxBytes) {
    LiveQueue& q = queue_;
    std::lock_guard lock(q.mutex_);
    held_.clear();
    atEnd_ = false;
    if (dropped_ != DropReason::None) return Step::Drop;
    if (!haveHeader_) return Step::Wait;
    if (generation_ != q.generation_) return DropFor(DropReason::NewStream);
    if (placed_ && seq_ < q.firstSeq_) return DropFor(DropReason::FellBehind);
    if (!started_) {
        switch (q.join_) {
            case JoinPolicy::NextUnit:
                seq_ = q.head_;
                placed_ = true;
                break;
            case JoinPolicy::LatestStart:
                if (const std::uint64_t start = q.JoinStart(); start != kNone) {
                    seq_ = start;
                    placed_ = started_ = true;
                    held_.push_back(q.units_[seq_ - q.firstSeq_].bytes);
                    return Step::Start;
                }
                return q.ended_ ? DropFor(DropReason::EndedBeforeStart) : Step::Wait;
            case JoinPolicy::NextStart:
                while (seq_ < q.head_ && !q.units_[seq_ - q.firstSeq_].start) ++seq_;
                if (seq_ == q.head_)
                    return q.ended_ ? DropFor(DropReason::EndedBeforeStart) : Step::Wait;
                break;
        }
        started_ = true;
    }
    if (seq_ >= q.head_) return q.ended_ ? Step::End : Step::Wait;
    std::uint64_t seq = seq_;
    for (std::size_t bytes = 0; seq < q.head_ && held_.size() < maxUnits && bytes < maxBytes;
         ++seq) {
        held_.push_back(q.units_[seq - q.firstSeq_].bytes);
        bytes += held_.back()->size();
    }
    atEnd_ = q.ended_ && seq == q.head_;
    return Step::Units;
}

bool LiveQueue::Reader::HasData() const {
    const LiveQueue& q = queue_;
    std::lock_guard lock(q.mutex_);
    // A reader without a header has nothing to take until a stream begins,
    // which wakes the server; its grace after an end is looked at on the
    // server's rounds without asking to write.
    if (!haveHeader_) return false;
    // Such a reader is served until it is through or its grace is over.
    if (q.ended_ && q.lag_ == LagPolicy::DropWithEndGrace) return true;
    if (generation_ != q.generation_ || q.ended_) return true;
    return placed_ && seq_ < q.head_;
}

bool LiveQueue::Reader::LateAfterEnd() {
    const LiveQueue& q = queue_;
    if (q.lag_ != LagPolicy::DropWithEndGrace) return false;
    std::lock_guard lock(q.mutex_);
    if (!q.ended_ || std::chrono::steady_clock::now() - q.endedAt_ <= kEndGrace) return false;
    dropped_ = DropReason::LateAfterEnd;
    return true;
}

}  // namespace wmv
