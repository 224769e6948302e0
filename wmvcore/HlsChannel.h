#pragma once
// Low-latency HLS from the stream server, held in memory: while any HLS
// viewer is there the channel takes part in the shared H.264 and AAC encode
// and cuts its fragmented MP4 into parts and segments (see HlsWindow).
//
// A viewer begins at /live.m3u8, which names one variant under an address
// of its own, /hls/SESSION/, where its media playlist, init segment, parts
// and segments are. The session is the viewer: it counts in the viewer
// maximum from its first request until it has asked for nothing for a
// while. Whatever the first request's query carried (an invite) is carried
// on in every address the playlists give, since each request passes the
// access rule again.
//
// A playlist request may block until a part exists (_HLS_msn, _HLS_part), and
// the preload hint's part may be asked for before it is there: such requests
// are held, at most kHold, then answered 503; one that asks further ahead
// than a client may is answered 400 at once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "codec/SharedEncode.h"
#include "wmvcore/HlsWindow.h"
#include "wmvcore/Mp4Muxer.h"
#include "wmvcore/StreamRequest.h"
#include "wmvcore/StreamServer.h"

namespace wmv {

class HlsChannel final : private codec::EncodedSubscriber {
  public:
    static constexpr const char* kPlaylistPath = "/live.m3u8";
    // A session that has asked for nothing this long is gone.
    static constexpr auto kIdle = std::chrono::seconds(10);
    // The longest a request is held for a part still to come.
    static constexpr auto kHold = std::chrono::seconds(3);
    // Requests held at once for one address (CountedAddress): beyond them a
    // request is answered 503 at once, so that one client cannot take every
    // connection the server has.
    static constexpr std::size_t kHeldPerAddress = 8;

    // wake: the server has something new to send.
    explicit HlsChannel(std::function<void()> wake) : wake_(std::move(wake)) {}
    ~HlsChannel() override;
    HlsChannel(const HlsChannel&) = delete;
    HlsChannel& operator=(const HlsChannel&) = delete;

    void SetSource(codec::EncodedSource* source) { source_ = source; }
    bool HasSource() const { return source_ != nullptr; }

    static bool Serves(std::string_view path);
    // A request for one of its addresses (server thread), once the access
    // rule has let it in: answers it, or holds it with a viewer of its own.
    // room: whether one more viewer fits in the maximum.
    void Answer(Connection& connection, const StreamRequest& request, bool room);
    // Server thread, every round: idle sessions go, and with the last one the
    // channel leaves the encode.
    void Tend(Clock::time_point now);
    // The viewers (sessions) now; any thread.
    std::uint32_t Sessions() const { return sessionCount_; }

  private:
    struct Ask;
    class Held;

    // The reply to ask, or none while it is to wait. late: it has waited
    // its longest.
    std::optional<std::string> Reply(const Ask& ask, bool late);
    std::string Variants(const Ask& ask);
    void Join();
    void Leave();

    // The encode's calls, on its thread.
    void OnStreams(const codec::EncodedStreams& streams) override;
    void OnPacket(const AVPacket& packet, int stream) override;
    void OnFailed(const std::string& reason) override;
    void Broken(const std::string& reason);
    // Ends the part in progress into the window; last: it ends its segment.
    // False when the muxer failed.
    bool EndPart(double length, bool independent, bool last);

    std::function<void()> wake_;
    std::atomic<codec::EncodedSource*> source_{nullptr};

    // Server thread only.
    std::unordered_map<std::string, Clock::time_point> sessions_;
    std::unordered_map<std::string, std::size_t> heldFrom_;
    bool joined_ = false;
    std::atomic<std::uint32_t> sessionCount_{0};
    // Set by the encode's thread when it let the channel go or the muxer
    // failed: the server thread leaves, and the next viewer joins anew.
    std::atomic<bool> broken_{false};

    // Under mutex_: what the server thread answers from.
    std::mutex mutex_;
    HlsWindow window_;
    bool starting_ = false;  // joined, the run's streams not yet told
    std::string codecs_;     // the variant's CODECS, RESOLUTION, BANDWIDTH
    std::string resolution_;
    std::int64_t bandwidth_ = 0;

    // The encode's thread only.
    Mp4Muxer muxer_;
    bool muxing_ = false;
    std::optional<HlsCutter> cutter_;
    // The stream whose times cut the parts: the pictures', or the sound's
    // without them.
    int clockStream_ = 0;
    bool clockIsVideo_ = true;
    double clockUnit_ = 0.001;
    bool partOpen_ = false;
    std::vector<std::uint8_t> part_;
};

}  // namespace wmv
