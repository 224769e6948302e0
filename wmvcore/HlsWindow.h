#pragma once
// The low-latency HLS rendition as it is held in memory: where the parts and
// segments of the shared encode's fragmented MP4 end (HlsCutter), the window
// of the last few segments and their parts, the playlists that describe it,
// and whether a request can be answered now, must wait for a part still to
// come, or asks too far ahead. Nothing is written to disk. Not thread-safe:
// its owner locks.
//
// Segments of about a second begin at a key frame; each is made of parts of
// at most the part target (200 ms at the usual rates), a part ending before
// the picture that would take it past the target. Parts are named by a
// running number, so the preload hint always names the next one whatever
// segment it turns out to begin.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wmv {

using HlsBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// Where the parts and segments end, from the pictures' times (or the sound
// frames', in a broadcast without pictures). Times in seconds.
class HlsCutter {
  public:
    static constexpr double kPartTarget = 0.2;
    static constexpr double kSegmentTarget = 1.0;
    // A key frame this far into a segment begins the next one; one that
    // came earlier (asked for by another viewer) does not.
    static constexpr double kShortestSegment = 0.5;

    struct Cut {
        bool part = false;     // the part in progress ends before this picture
        bool segment = false;  // and the picture begins a new segment
        // The segment has gone on past its target without a key frame: the
        // encode is to make the next picture one.
        bool wantKey = false;
    };

    // frame: a picture's length (the part target is never below it);
    // keysEverywhere: every frame may begin a segment (sound alone), so
    // segments end at their target.
    HlsCutter(double frame, bool keysEverywhere);

    double PartTarget() const { return partTarget_; }
    // The target duration written in the playlist: whole seconds that every
    // segment rounds to at most.
    int TargetDuration() const;
    // A picture at time t lasting d; key: one a segment may begin with.
    Cut Next(double t, double d, bool key);
    // The length of the part in progress, from its first picture to the end
    // of its last.
    double PartLength() const { return started_ ? partEnd_ - partStart_ : 0; }
    // The part in progress begins with a key frame.
    bool PartIndependent() const { return partKey_; }

  private:
    double frame_;
    bool keysEverywhere_;
    double partTarget_;
    bool started_ = false;
    double partStart_ = 0, partEnd_ = 0, segmentStart_ = 0;
    bool partKey_ = false;
    bool keyAsked_ = false;
};

class HlsWindow {
  public:
    struct Limits {
        std::size_t segments = 7;           // whole segments kept
        std::size_t bytes = 32u << 20;      // in all
        std::size_t segmentsWithParts = 3;  // the newest, whose parts are listed
    };

    enum class Ready {
        Now,     // answer at once
        Wait,    // hold the request until a part comes (or its bound)
        TooFar,  // 400: asks further ahead than a client may
        Gone,    // 404: not (or no longer) there
    };

    explicit HlsWindow(Limits limits) : limits_(limits) {}
    HlsWindow() : HlsWindow(Limits{}) {}

    // A new run of the encode: its init segment; what was kept goes, the
    // sequence numbers go on, and the discontinuity sequence counts one
    // more. target and partTarget as the cutter says.
    void Begin(std::vector<std::uint8_t> init, int target, double partTarget);
    // A finished part; last: it ends its segment, so that the segment is
    // listed whole at once. The next part begins a new one.
    void AddPart(std::vector<std::uint8_t> bytes, double duration, bool independent, bool last);
    // The run ended: the last segment is complete and the playlist ends.
    void End();
    bool Begun() const { return begun_; }
    bool Ended() const { return ended_; }
    bool HasParts() const { return !segments_.empty(); }

    // The media playlist, with suffix ("?query" or "") after every address.
    std::string Playlist(const std::string& suffix) const;
    // A playlist request with _HLS_msn (and _HLS_part).
    Ready PlaylistReady(std::optional<std::uint64_t> msn, std::optional<std::uint64_t> part) const;
    Ready Init(int discontinuity, HlsBytes* bytes) const;
    Ready Part(std::uint64_t number, HlsBytes* bytes) const;
    Ready Segment(std::uint64_t msn, std::vector<HlsBytes>* parts) const;

    int Discontinuity() const { return discontinuity_; }
    std::size_t Bytes() const { return bytes_; }

  private:
    struct Piece {
        std::uint64_t number;
        HlsBytes bytes;
        double duration;
        bool independent;
    };
    struct Seg {
        std::uint64_t msn;
        std::vector<Piece> parts;
        double duration = 0;
        bool complete = false;
    };
    void Trim();

    Limits limits_;
    bool begun_ = false;
    bool ended_ = false;
    int discontinuity_ = -1;  // the first run is 0
    int target_ = 1;
    double partTarget_ = HlsCutter::kPartTarget;
    HlsBytes init_;
    std::deque<Seg> segments_;
    std::uint64_t nextMsn_ = 0;
    std::uint64_t nextPart_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace wmv
