#include "wmvcore/HlsWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace wmv {
namespace {

// What a segment may be over its target before a key frame is asked for,
// and a part over its own through the sums of times in seconds being
// inexact.
constexpr double kSlack = 0.001;
constexpr double kRounding = 1e-6;
// How far ahead of the newest segment and part a blocking request may ask.
constexpr std::uint64_t kAheadSegments = 2;
constexpr std::uint64_t kAheadParts = 3;

std::string Seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

}  // namespace

HlsCutter::HlsCutter(double frame, bool keysEverywhere)
    : frame_(frame > 0 ? frame : 0),
      keysEverywhere_(keysEverywhere),
      partTarget_(std::max(kPartTarget, frame_)) {}

int HlsCutter::TargetDuration() const {
    // A segment runs past its target until the key frame it then asks for
    // comes, a couple of pictures later.
    return std::max(1, static_cast<int>(std::lround(kSegmentTarget + 2 * frame_ + 0.05)));
}

HlsCutter::Cut HlsCutter::Next(double t, double d, bool key) {
    Cut cut;
    if (d <= 0) d = frame_;
    if (!started_) {
        // The encode begins every subscriber with a key frame.
        started_ = true;
        cut.part = cut.segment = true;
        segmentStart_ = partStart_ = t;
        partEnd_ = t + d;
        partKey_ = key;
        keyAsked_ = false;
        return cut;
    }
    const double shortest = keysEverywhere_ ? kSegmentTarget - d / 2 : kShortestSegment;
    if (key && t - segmentStart_ >= shortest - kSlack) {
        cut.part = cut.segment = true;
        segmentStart_ = t;
        keyAsked_ = false;
    } else if (std::max(partEnd_, t + d) - partStart_ > partTarget_ + kRounding) {
        cut.part = true;
    }
    if (cut.part) {
        partStart_ = t;
        partEnd_ = t + d;
        partKey_ = key;
    } else {
        partEnd_ = std::max(partEnd_, t + d);
    }
    if (!keysEverywhere_ && !keyAsked_ && t + d - segmentStart_ > kSegmentTarget + kSlack) {
        cut.wantKey = true;
        keyAsked_ = true;
    }
    return cut;
}

void HlsWindow::Begin(std::vector<std::uint8_t> init, int target, double partTarget) {
    segments_.clear();
    bytes_ = 0;
    init_ = std::make_shared<const std::vector<std::uint8_t>>(std::move(init));
    target_ = target;
    partTarget_ = partTarget;
    ++discontinuity_;
    begun_ = true;
    ended_ = false;
}

void HlsWindow::AddPart(std::vector<std::uint8_t> bytes, double duration, bool independent,
                        bool last) {
    if (!begun_ || ended_) return;
    if (segments_.empty() || segments_.back().complete)
        segments_.push_back(Seg{nextMsn_++, {}, 0, false});
    bytes_ += bytes.size();
    Seg& segment = segments_.back();
    segment.parts.push_back(
        Piece{nextPart_++, std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)),
              duration, independent});
    segment.duration += duration;
    segment.complete = last;
    Trim();
}

void HlsWindow::End() {
    if (!begun_) return;
    if (!segments_.empty()) segments_.back().complete = true;
    ended_ = true;
}

void HlsWindow::Trim() {
    // The segment in progress is never let go.
    const auto whole = [this] { return segments_.size() - (segments_.back().complete ? 0 : 1); };
    while (segments_.size() > 1 && (whole() > limits_.segments || bytes_ > limits_.bytes)) {
        for (const Piece& piece : segments_.front().parts) bytes_ -= piece.bytes->size();
        segments_.pop_front();
    }
}

std::string HlsWindow::Playlist(const std::string& suffix) const {
    std::string text =
        "#EXTM3U\n#EXT-X-VERSION:6\n#EXT-X-TARGETDURATION:" + std::to_string(target_) +
        "\n#EXT-X-SERVER-CONTROL:CAN-BLOCK-RELOAD=YES,PART-HOLD-BACK=" +
        Seconds(2.5 * partTarget_) + "\n#EXT-X-PART-INF:PART-TARGET=" + Seconds(partTarget_) +
        "\n#EXT-X-MEDIA-SEQUENCE:" +
        std::to_string(segments_.empty() ? nextMsn_ : segments_.front().msn) +
        "\n#EXT-X-DISCONTINUITY-SEQUENCE:" + std::to_string(std::max(discontinuity_, 0)) +
        "\n#EXT-X-MAP:URI=\"init" + std::to_string(std::max(discontinuity_, 0)) + ".mp4" + suffix +
        "\"\n";
    const std::size_t withParts = segments_.size() > limits_.segmentsWithParts
                                      ? segments_.size() - limits_.segmentsWithParts
                                      : 0;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        const Seg& segment = segments_[i];
        if (i >= withParts) {
            for (const Piece& piece : segment.parts) {
                text += "#EXT-X-PART:DURATION=" + Seconds(piece.duration) + ",URI=\"part" +
                        std::to_string(piece.number) + ".m4s" + suffix + "\"";
                text += piece.independent ? ",INDEPENDENT=YES\n" : "\n";
            }
        }
        if (segment.complete)
            text += "#EXTINF:" + Seconds(segment.duration) + ",\nseg" +
                    std::to_string(segment.msn) + ".m4s" + suffix + "\n";
    }
    if (ended_)
        text += "#EXT-X-ENDLIST\n";
    else
        text += "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"part" + std::to_string(nextPart_) + ".m4s" +
                suffix + "\"\n";
    return text;
}

HlsWindow::Ready HlsWindow::PlaylistReady(std::optional<std::uint64_t> msn,
                                          std::optional<std::uint64_t> part) const {
    if (part && !msn) return Ready::TooFar;
    if (ended_) return Ready::Now;
    if (segments_.empty()) {
        // Nothing yet: the first part of the run is on its way.
        if (msn && *msn > nextMsn_ + kAheadSegments) return Ready::TooFar;
        return Ready::Wait;
    }
    if (!msn) return Ready::Now;
    const Seg& last = segments_.back();
    if (*msn > last.msn + kAheadSegments) return Ready::TooFar;
    if (*msn < last.msn) return Ready::Now;
    if (!part) return *msn == last.msn && last.complete ? Ready::Now : Ready::Wait;
    if (*msn == last.msn) {
        if (*part < last.parts.size()) return Ready::Now;
        if (*part >= last.parts.size() + kAheadParts) return Ready::TooFar;
        return Ready::Wait;
    }
    return *part >= kAheadParts ? Ready::TooFar : Ready::Wait;
}

HlsWindow::Ready HlsWindow::Init(int discontinuity, HlsBytes* bytes) const {
    if (!begun_ || discontinuity != discontinuity_) return Ready::Gone;
    *bytes = init_;
    return Ready::Now;
}

HlsWindow::Ready HlsWindow::Part(std::uint64_t number, HlsBytes* bytes) const {
    for (const Seg& segment : segments_) {
        if (segment.parts.empty() || number < segment.parts.front().number) continue;
        if (number > segment.parts.back().number) continue;
        *bytes = segment.parts[number - segment.parts.front().number].bytes;
        return Ready::Now;
    }
    if (!ended_ && number >= nextPart_ && number < nextPart_ + kAheadParts) return Ready::Wait;
    return Ready::Gone;
}

HlsWindow::Ready HlsWindow::Segment(std::uint64_t msn, std::vector<HlsBytes>* parts) const {
    for (const Seg& segment : segments_) {
        if (segment.msn != msn) continue;
        if (!segment.complete) return Ready::Wait;
        parts->clear();
        for (const Piece& piece : segment.parts) parts->push_back(piece.bytes);
        return Ready::Now;
    }
    if (!ended_ && msn >= nextMsn_ && msn < nextMsn_ + kAheadSegments) return Ready::Wait;
    return Ready::Gone;
}

}  // namespace wmv
