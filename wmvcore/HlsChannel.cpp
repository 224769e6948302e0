#include "wmvcore/HlsChannel.h"

#include <sys/random.h>

#include <cstdio>

#include "platform/PeerAddress.h"

namespace wmv {
namespace {

constexpr std::string_view kSessionsPath = "/hls/";
constexpr std::size_t kSessionLength = 16;  // hex digits
// Query names that are the playlist request's own and not carried on.
constexpr std::string_view kOwnNames[] = {"_HLS_msn", "_HLS_part", "_HLS_skip"};

std::string NewSession() {
    unsigned char random[kSessionLength / 2] = {};
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : random) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

bool IsSession(std::string_view text) {
    if (text.size() != kSessionLength) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// A decimal number of at most 18 digits, the whole of text.
std::optional<std::uint64_t> Number(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// "name" + digits + "ext", the whole of file: the digits.
std::optional<std::uint64_t> Numbered(std::string_view file, std::string_view name,
                                      std::string_view ext) {
    if (file.size() <= name.size() + ext.size() || !file.starts_with(name) || !file.ends_with(ext))
        return std::nullopt;
    return Number(file.substr(name.size(), file.size() - name.size() - ext.size()));
}

bool SafeInAddress(std::string_view text) {
    for (char c : text) {
        const bool safe = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                          (c >= 'A' && c <= 'Z') ||
                          std::string_view("-._~%=+").find(c) != std::string_view::npos;
        if (!safe) return false;
    }
    return true;
}

std::string Response(std::string_view status, std::string_view type, std::string_view body,
                     bool head, std::string_view extra = {}) {
    std::string out = "HTTP/1.0 ";
    out += status;
    out += "\r\nServer: Lumacast/1.0\r\nContent-Type: ";
    out += type;
    out += "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-cache\r\nAccess-Control-Allow-Origin: *\r\n";
    out += extra;
    out += "Connection: close\r\n\r\n";
    if (!head) out += body;
    return out;
}

std::string Refusal(std::string_view status, std::string_view text, bool head,
                    std::string_view extra = {}) {
    return Response(status, "text/plain", std::string(text) + "\r\n", head, extra);
}

// The RFC 6381 name of the pictures' codec, from the encoder's SPS (in its
// avcC or in Annex B form).
std::string AvcCodecName(const AVCodecContext& video) {
    const std::uint8_t* data = video.extradata;
    const int size = video.extradata_size;
    const std::uint8_t* profile = nullptr;
    if (size >= 4 && data[0] == 1) {
        profile = data + 1;
    } else {
        for (int i = 0; i + 7 < size; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1f) == 7) {
                profile = data + i + 4;
                break;
            }
        }
    }
    if (!profile) return "avc1.42e01e";
    char name[16];
    std::snprintf(name, sizeof name, "avc1.%02x%02x%02x", profile[0], profile[1], profile[2]);
    return name;
}

}  // namespace

struct HlsChannel::Ask {
    enum class Kind { Variants, Playlist, Init, Part, Segment };
    Kind kind = Kind::Variants;
    std::string session;
    std::uint64_t number = 0;  // the init's run, the part's or the segment's
    std::optional<std::uint64_t> msn, part;
    std::string suffix;  // "?" and the query carried on, or ""
    bool head = false;
    bool bad = false;  // 400: the query makes no sense
};

namespace {

// Reads the request of one of the channel's addresses; none where there is
// no such address.
template <typename Ask>
std::optional<Ask> Read(const StreamRequest& request) {
    Ask ask;
    ask.head = request.method == "HEAD";
    const std::size_t mark = request.target.find('?');
    std::string_view query = mark == std::string::npos
                                 ? std::string_view()
                                 : std::string_view(request.target).substr(mark + 1);
    std::string carried;
    while (!query.empty()) {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const std::string_view name = pair.substr(0, pair.find('='));
        const std::string_view value = pair.find('=') == std::string_view::npos
                                           ? std::string_view()
                                           : pair.substr(pair.find('=') + 1);
        bool own = false;
        for (std::string_view ownName : kOwnNames) own = own || name == ownName;
        if (own) {
            std::optional<std::uint64_t> number = Number(value);
            if (!number) ask.bad = true;
            if (name == "_HLS_msn") ask.msn = number;
            if (name == "_HLS_part") ask.part = number;
            continue;
        }
        // Only what can stand in an address unchanged is carried on.
        if (pair.empty() || !SafeInAddress(pair)) continue;
        carried += carried.empty() ? "?" : "&";
        carried += pair;
    }
    ask.suffix = carried;
    if (request.path == HlsChannel::kPlaylistPath) return ask;
    std::string_view rest = std::string_view(request.path).substr(kSessionsPath.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos || !IsSession(rest.substr(0, slash))) return std::nullopt;
    ask.session = rest.substr(0, slash);
    const std::string_view file = rest.substr(slash + 1);
    if (file == "media.m3u8") {
        ask.kind = Ask::Kind::Playlist;
    } else if (auto run = Numbered(file, "init", ".mp4")) {
        ask.kind = Ask::Kind::Init;
        ask.number = *run;
    } else if (auto part = Numbered(file, "part", ".m4s")) {
        ask.kind = Ask::Kind::Part;
        ask.number = *part;
    } else if (auto segment = Numbered(file, "seg", ".m4s")) {
        ask.kind = Ask::Kind::Segment;
        ask.number = *segment;
    } else {
        return std::nullopt;
    }
    return ask;
}

}  // namespace

// A request held until what it asks for is there, or its time is up.
class HlsChannel::Held final : public Viewer {
  public:
    Held(HlsChannel& channel, Ask ask, std::string from)
        : channel_(channel),
          ask_(std::move(ask)),
          from_(std::move(from)),
          until_(Clock::now() + kHold) {
        ++channel_.heldFrom_[from_];
    }
    ~Held() override {
        const auto entry = channel_.heldFrom_.find(from_);
        if (entry != channel_.heldFrom_.end() && --entry->second == 0)
            channel_.heldFrom_.erase(entry);
    }

    bool HasData() override { return !answered_; }
    void Pump(Connection& connection) override {
        if (!answered_) {
            std::optional<std::string> reply = channel_.Reply(ask_, Clock::now() >= until_);
            if (!reply) return;
            connection.out += *reply;
            connection.closeAfterOut = true;
            answered_ = true;
        }
        if (connection.SendOut()) connection.Drop();
    }

  private:
    HlsChannel& channel_;
    const Ask ask_;
    const std::string from_;
    const Clock::time_point until_;
    bool answered_ = false;
};

HlsChannel::~HlsChannel() {
    if (joined_) source_.load()->Leave(this);
}

bool HlsChannel::Serves(std::string_view path) {
    return path == kPlaylistPath || path.starts_with(kSessionsPath);
}

void HlsChannel::Answer(Connection& connection, const StreamRequest& request, bool room) {
    std::optional<Ask> ask = Read<Ask>(request);
    const bool head = request.method == "HEAD";
    if (!ask || !source_) {
        connection.out = Refusal("404 Not Found", "Not found.", head);
        return;
    }
    if (ask->bad) {
        connection.out = Refusal("400 Bad Request", "Not a playlist request.", head);
        return;
    }
    const auto now = Clock::now();
    if (ask->kind == Ask::Kind::Variants) {
        // A HEAD only asks whether the broadcast runs: no viewer comes of it.
        if (head) {
            connection.out = Response("200 OK", "application/vnd.apple.mpegurl", "", true);
            return;
        }
        ask->session = NewSession();
    }
    const auto session = sessions_.find(ask->session);
    if (session != sessions_.end()) {
        session->second = now;
    } else {
        // A new viewer, or one whose session lapsed while it paused.
        if (!room) {
            connection.out = Refusal("503 Service Unavailable",
                                     "The maximum number of viewers is connected.", head);
            return;
        }
        sessions_.emplace(ask->session, now);
        sessionCount_ = static_cast<std::uint32_t>(sessions_.size());
        Join();
    }
    if (std::optional<std::string> reply = Reply(*ask, false)) {
        connection.out = std::move(*reply);
        return;
    }
    std::string from = CountedAddress(connection.peer);
    const auto held = heldFrom_.find(from);
    if (held != heldFrom_.end() && held->second >= kHeldPerAddress) {
        connection.out = Refusal("503 Service Unavailable", "Too many requests wait.", head,
                                 "Retry-After: 1\r\n");
        return;
    }
    connection.viewer = std::make_unique<Held>(*this, std::move(*ask), std::move(from));
    connection.closeAfterOut = false;
    connection.state = Connection::State::Streaming;
    connection.since = now;
}

std::optional<std::string> HlsChannel::Reply(const Ask& ask, bool late) {
    using Kind = Ask::Kind;
    using Ready = HlsWindow::Ready;
    std::lock_guard lock(mutex_);
    const auto waitOr = [&]() -> std::optional<std::string> {
        if (!late) return std::nullopt;
        return Refusal("503 Service Unavailable", "The stream has not come on.", ask.head,
                       "Retry-After: 1\r\n");
    };
    if (ask.kind == Kind::Variants) {
        // The variant's codecs come with the run's streams, at once where
        // the encode runs; without them the playlist still plays.
        if (codecs_.empty() && starting_ && !late) return std::nullopt;
        return Response("200 OK", "application/vnd.apple.mpegurl", Variants(ask), ask.head);
    }
    if (starting_) return waitOr();
    if (!window_.Begun())
        return Refusal("503 Service Unavailable", "The stream has not come on.", ask.head,
                       "Retry-After: 1\r\n");
    Ready ready = Ready::Gone;
    HlsBytes bytes;
    std::vector<HlsBytes> parts;
    switch (ask.kind) {
        case Kind::Playlist:
            ready = window_.PlaylistReady(ask.msn, ask.part);
            break;
        case Kind::Init:
            ready = window_.Init(static_cast<int>(std::min<std::uint64_t>(ask.number, 1u << 30)),
                                 &bytes);
            break;
        case Kind::Part:
            ready = window_.Part(ask.number, &bytes);
            break;
        case Kind::Segment:
            ready = window_.Segment(ask.number, &parts);
            break;
        case Kind::Variants:
            break;
    }
    switch (ready) {
        case Ready::Wait:
            return waitOr();
        case Ready::TooFar:
            return Refusal("400 Bad Request", "That part is too far ahead.", ask.head);
        case Ready::Gone:
            return Refusal("404 Not Found", "Not found.", ask.head);
        case Ready::Now:
            break;
    }
    if (ask.kind == Kind::Playlist)
        return Response("200 OK", "application/vnd.apple.mpegurl", window_.Playlist(ask.suffix),
                        ask.head);
    std::string body;
    if (bytes) body.assign(bytes->begin(), bytes->end());
    for (const HlsBytes& part : parts) body.append(part->begin(), part->end());
    return Response("200 OK", "video/mp4", body, ask.head);
}

std::string HlsChannel::Variants(const Ask& ask) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:6\n#EXT-X-INDEPENDENT-SEGMENTS\n";
    text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(bandwidth_ > 0 ? bandwidth_ : 2000000);
    if (!codecs_.empty()) text += ",CODECS=\"" + codecs_ + "\"";
    if (!resolution_.empty()) text += ",RESOLUTION=" + resolution_;
    text += "\nhls/" + ask.session + "/media.m3u8" + ask.suffix + "\n";
    return text;
}

void HlsChannel::Join() {
    if (broken_.exchange(false) && joined_) Leave();
    if (joined_) return;
    {
        std::lock_guard lock(mutex_);
        starting_ = true;
    }
    joined_ = true;
    source_.load()->Join(this);
}

void HlsChannel::Leave() {
    if (!joined_) return;
    source_.load()->Leave(this);
    joined_ = false;
    {
        std::lock_guard lock(mutex_);
        window_.End();
        starting_ = false;
    }
    wake_();
}

void HlsChannel::Tend(Clock::time_point now) {
    if (broken_.exchange(false)) Leave();
    const auto before = sessions_.size();
    std::erase_if(sessions_, [now](const auto& session) { return now - session.second > kIdle; });
    if (sessions_.size() == before) return;
    sessionCount_ = static_cast<std::uint32_t>(sessions_.size());
    if (sessions_.empty()) Leave();
}

void HlsChannel::OnStreams(const codec::EncodedStreams& streams) {
    std::vector<std::uint8_t> init;
    std::string error;
    muxing_ = muxer_.Open(streams, &init, &error);
    if (!muxing_) return Broken(error);
    const AVCodecContext* clock = streams.video ? streams.video : streams.audio;
    clockStream_ = streams.video ? 0 : streams.audioStream;
    clockIsVideo_ = streams.video != nullptr;
    clockUnit_ = av_q2d(clock->time_base);
    const double frame = streams.video ? av_q2d(av_inv_q(streams.video->framerate))
                                       : static_cast<double>(streams.audio->frame_size) /
                                             std::max(streams.audio->sample_rate, 1);
    cutter_.emplace(frame, !streams.video);
    partOpen_ = false;
    {
        std::lock_guard lock(mutex_);
        window_.Begin(std::move(init), cutter_->TargetDuration(), cutter_->PartTarget());
        starting_ = false;
        codecs_.clear();
        if (streams.video) codecs_ = AvcCodecName(*streams.video);
        if (streams.audio) codecs_ += std::string(codecs_.empty() ? "" : ",") + "mp4a.40.2";
        resolution_ = streams.video ? std::to_string(streams.video->width) + "x" +
                                          std::to_string(streams.video->height)
                                    : "";
        bandwidth_ = (streams.video ? streams.video->bit_rate : 0) +
                     (streams.audio ? streams.audio->bit_rate : 0);
    }
    wake_();
}

void HlsChannel::OnPacket(const AVPacket& packet, int stream) {
    if (!muxing_) return;
    if (stream == clockStream_) {
        const double t = static_cast<double>(packet.pts) * clockUnit_;
        const double d = static_cast<double>(packet.duration) * clockUnit_;
        const bool key = !clockIsVideo_ || muxer_.IsKeyPicture(packet, stream);
        const double length = cutter_->PartLength();
        const bool independent = cutter_->PartIndependent();
        const HlsCutter::Cut cut = cutter_->Next(t, d, key);
        if (cut.wantKey) source_.load()->RequestKeyFrame();
        if (cut.part && partOpen_ && !EndPart(length, independent, cut.segment)) return;
        partOpen_ = true;
    } else if (!partOpen_) {
        return;  // sound from before the first picture
    }
    if (!muxer_.Write(packet, stream)) Broken("the muxer refused a packet");
}

bool HlsChannel::EndPart(double length, bool independent, bool last) {
    if (!muxer_.Flush(&part_)) {
        Broken("the muxer failed");
        return false;
    }
    if (part_.empty()) return true;
    {
        std::lock_guard lock(mutex_);
        window_.AddPart(std::move(part_), length, independent, last);
    }
    part_.clear();
    wake_();
    return true;
}

void HlsChannel::OnFailed(const std::string& reason) {
    // The encode has let the channel go; the server thread sees it.
    Broken(reason);
}

void HlsChannel::Broken(const std::string& reason) {
    std::fprintf(stderr, "libwmvcore: the HLS stream: %s\n", reason.c_str());
    muxing_ = false;
    {
        std::lock_guard lock(mutex_);
        window_.End();
        starting_ = false;
    }
    broken_ = true;
    wake_();
}

}  // namespace wmv
