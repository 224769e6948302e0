// The network sink: an HTTP server that serves the live ASF stream on every
// path. Plain HTTP clients get plain ASF (header, then data packets); clients
// that speak the Windows Media HTTP streaming protocol (NSPlayer user agent,
// xClientGUID / xPlayStrm pragmas) get it framed in $H, $D and $E chunks.
//
// Packets live once in a ring shared by all viewers; each viewer only keeps
// its position. A viewer that falls a whole ring behind is dropped, so a slow
// viewer costs neither the writer nor the other viewers anything.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/wmvcore/AsfPacket.h"
#include "platform/wmvcore/wmvcore.h"

namespace wmv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxRequest = 8192;
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr auto kEndGrace = std::chrono::seconds(3);
// A viewer that takes no data at all for this long is gone or stuck.
constexpr auto kStallTimeout = std::chrono::seconds(5);
constexpr std::size_t kMaxConnections = 1024;
constexpr std::size_t kSendBudget = 256 * 1024;  // bytes per viewer per round
constexpr int kSendBuffer = 128 * 1024;
constexpr int kBatch = 16;       // packets per send call
constexpr int kRingSeconds = 6;  // more than the longest key-frame spacing
constexpr std::uint16_t kChunkHeader = 0x4824;
constexpr std::uint16_t kChunkData = 0x4424;
constexpr std::uint16_t kChunkEnd = 0x4524;

void PutLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The 12-byte framing in front of a header or data chunk.
void ChunkPrefix(std::uint8_t* p, std::uint16_t type, std::size_t payload, std::uint32_t seq,
                 std::uint8_t flags) {
    const auto length = static_cast<std::uint16_t>(payload + 8);
    PutLe16(p, type);
    PutLe16(p + 2, length);
    PutLe32(p + 4, seq);
    p[8] = 0;
    p[9] = flags;
    PutLe16(p + 10, length);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

enum class Kind { Plain, Describe, Play };

struct Request {
    bool valid = false;
    std::string method;
    Kind kind = Kind::Plain;
};

// Reads what the server needs from a request head. Lines it does not
// understand are skipped: ffmpeg's client sends one malformed line.
Request ParseRequest(const std::string& head) {
    Request request;
    std::size_t end = head.find('\n');
    std::string line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos ||
        line.compare(sp2 + 1, 5, "HTTP/") != 0)
        return request;
    request.method = line.substr(0, sp1);
    if (line[sp1 + 1] != '/') return request;
    request.valid = true;
    bool windowsMedia = false, play = false;
    while (end != std::string::npos) {
        const std::size_t next = head.find('\n', end + 1);
        const std::string header =
            Lower(head.substr(end + 1, next == std::string::npos ? next : next - end - 1));
        end = next;
        if (header.rfind("user-agent:", 0) == 0 && (header.find("nsplayer") != std::string::npos ||
                                                    header.find("nsserver") != std::string::npos))
            windowsMedia = true;
        if (header.rfind("pragma:", 0) == 0) {
            if (header.find("xclientguid") != std::string::npos) windowsMedia = true;
            if (header.find("xplaystrm=1") != std::string::npos) play = windowsMedia = true;
        }
    }
    if (windowsMedia) request.kind = play ? Kind::Play : Kind::Describe;
    return request;
}

struct Client {
    UniqueFd fd;
    enum class State { Request, Sending, Streaming } state = State::Request;
    std::string request;
    std::string out;
    std::size_t outPos = 0;
    bool closeAfterOut = false;
    bool framed = false;
    bool counted = false;
    bool waitingStart = true;
    bool waitingHeader = false;
    bool dead = false;
    std::uint64_t generation = 0;
    std::uint64_t seq = 0;
    std::size_t offset = 0;  // into prefix + packet
    std::uint32_t chunkSeq = 0;
    std::uint8_t prefixes[16][12] = {};  // framing of the packets being sent
    Clock::time_point since = Clock::now();
    bool blocked = false;  // the last send found the socket full
    Clock::time_point blockedSince{};

    void Blocked() {
        if (!blocked) blockedSince = Clock::now();
        blocked = true;
    }
};

}  // namespace

class NetworkSink final : public IWMWriterNetworkSink, public IWMClientConnections {
  public:
    ~NetworkSink() override { Close(); }

    HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) override {
        return protocol == WMT_PROTOCOL_HTTP ? S_OK : E_INVALIDARG;
    }

    HRESULT Open(std::uint32_t* port) override;
    HRESULT Close() override;

    HRESULT SetMaximumClients(std::uint32_t max) override {
        maxClients_ = max;
        return S_OK;
    }
    HRESULT GetMaximumClients(std::uint32_t* max) override {
        if (!max) return E_POINTER;
        *max = maxClients_;
        return S_OK;
    }
    HRESULT GetClientCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        *count = served_;
        return S_OK;
    }

    HRESULT OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                     std::uint16_t keyStream, std::uint32_t bitsPerSecond) override;
    HRESULT OnDataUnit(const std::uint8_t* packet, std::size_t size) override;
    HRESULT OnEndWriting() override;

  protected:
    void* Find(Iid iid) override {
        return iid == Iid::IWMClientConnections ? static_cast<IWMClientConnections*>(this)
                                                : nullptr;
    }

  private:
    void Wake() {
        if (wake_) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(wake_.Get(), &one, sizeof(one));
        }
    }
    void Run();
    void Accept();
    void ReadFrom(Client& client);
    void HandleRequest(Client& client);
    void StartStream(Client& client);
    void Pump(Client& client);
    bool SendOut(Client& client);
    void Drop(Client& client);

    std::atomic<std::uint32_t> maxClients_{5};
    std::atomic<std::uint32_t> served_{0};
    UniqueFd listen_;
    UniqueFd wake_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> wakePending_{false};
    std::vector<std::unique_ptr<Client>> clients_;  // server thread only
    Clock::time_point acceptPausedUntil_{};         // server thread only
    std::uint32_t nextClientId_ = 1;

    // The stream, shared with the writer's thread.
    std::mutex mutex_;
    std::vector<std::uint8_t> header_;
    bool haveHeader_ = false;
    std::uint64_t generation_ = 0;
    std::uint32_t packetSize_ = 0;
    std::uint16_t keyStream_ = 0;
    std::vector<std::uint8_t> ring_;
    std::uint64_t slots_ = 0;
    std::uint64_t head_ = 0;  // sequence number of the next packet
    std::uint64_t lastKey_ = UINT64_MAX;
    bool ended_ = false;
    Clock::time_point endedAt_{};
};

HRESULT NetworkSink::Open(std::uint32_t* port) {
    if (!port) return E_POINTER;
    if (listen_) return NS_E_INVALID_REQUEST;
    if (*port > 65535) return E_INVALIDARG;
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return HresultFromErrno(errno);
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(*port));
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0)
        return HresultFromErrno(errno);
    if (::listen(fd.Get(), 64) < 0) return HresultFromErrno(errno);
    socklen_t length = sizeof(address);
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) < 0)
        return HresultFromErrno(errno);
    UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake) return HresultFromErrno(errno);
    *port = ntohs(address.sin_port);
    listen_ = std::move(fd);
    wake_ = std::move(wake);
    stop_ = false;
    try {
        thread_ = std::thread(&NetworkSink::Run, this);
    } catch (const std::system_error&) {
        listen_.Reset();
        wake_.Reset();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT NetworkSink::Close() {
    if (!listen_) return S_OK;
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    clients_.clear();
    served_ = 0;
    listen_.Reset();
    wake_.Reset();
    return S_OK;
}

HRESULT NetworkSink::OnHeader(const std::uint8_t* header, std::size_t size,
                              std::uint32_t packetSize, std::uint16_t keyStream,
                              std::uint32_t bitsPerSecond) {
    if (!header || size == 0 || size > 0xFFFF - 8 || packetSize == 0) return E_INVALIDARG;
    {
        std::lock_guard lock(mutex_);
        try {
            header_.assign(header, header + size);
            const std::uint64_t bytesPerSecond = std::max<std::uint64_t>(bitsPerSecond / 8, 16000);
            slots_ = std::clamp<std::uint64_t>(bytesPerSecond * kRingSeconds / packetSize + 1, 64,
                                               16384);
            ring_.assign(slots_ * packetSize, 0);
        } catch (const std::bad_alloc&) {
            haveHeader_ = false;
            return E_OUTOFMEMORY;
        }
        packetSize_ = packetSize;
        keyStream_ = keyStream;
        head_ = 0;
        lastKey_ = UINT64_MAX;
        ended_ = false;
        haveHeader_ = true;
        ++generation_;
    }
    Wake();
    return S_OK;
}

HRESULT NetworkSink::OnDataUnit(const std::uint8_t* packet, std::size_t size) {
    if (!packet) return E_POINTER;
    {
        std::lock_guard lock(mutex_);
        if (!haveHeader_ || ended_ || size == 0 || size % packetSize_ != 0) return E_INVALIDARG;
        for (std::size_t at = 0; at < size; at += packetSize_) {
            const std::uint8_t* one = packet + at;
            std::memcpy(ring_.data() + (head_ % slots_) * packetSize_, one, packetSize_);
            if (keyStream_ && PacketStartsKeyFrame(one, packetSize_, keyStream_)) lastKey_ = head_;
            ++head_;
        }
    }
    // One wake-up until the server has looked: packets of a burst share it.
    if (!wakePending_.exchange(true)) Wake();
    return S_OK;
}

HRESULT NetworkSink::OnEndWriting() {
    {
        std::lock_guard lock(mutex_);
        if (!haveHeader_ || ended_) return S_OK;
        ended_ = true;
        endedAt_ = Clock::now();
    }
    Wake();
    return S_OK;
}

void NetworkSink::Run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        fds.clear();
        fds.push_back({wake_.Get(), POLLIN, 0});
        fds.push_back({listen_.Get(),
                       static_cast<short>(Clock::now() >= acceptPausedUntil_ ? POLLIN : 0), 0});
        for (const auto& client : clients_) {
            short events = POLLIN;
            if (client->state != Client::State::Request) events |= POLLOUT;
            // A streaming viewer that is up to date has nothing to write.
            if (client->state == Client::State::Streaming && client->outPos >= client->out.size()) {
                std::lock_guard lock(mutex_);
                if (client->waitingStart || client->seq >= head_) {
                    if (!ended_) events = POLLIN;
                }
            }
            fds.push_back({client->fd.Get(), events, 0});
        }
        if (::poll(fds.data(), fds.size(), 250) < 0 && errno != EINTR) break;
        if (stop_) break;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wake_.Get(), &count, sizeof(count));
        }
        wakePending_ = false;
        if (fds[1].revents & POLLIN) Accept();
        const std::size_t polled = fds.size() - 2;
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            Client& client = *clients_[i];
            const short revents = i < polled ? fds[i + 2].revents : 0;
            if (revents & POLLIN) ReadFrom(client);
            if (revents & (POLLERR | POLLNVAL)) Drop(client);
            if (!client.dead) Pump(client);
            if (client.blocked && Clock::now() - client.blockedSince > kStallTimeout)
                client.dead = true;
            if (!client.dead && client.state == Client::State::Streaming) {
                std::lock_guard lock(mutex_);
                if (ended_ && Clock::now() - endedAt_ > kEndGrace) client.dead = true;
            }
            if (client.dead) Drop(client);
            if (client.state == Client::State::Request &&
                Clock::now() - client.since > kRequestTimeout)
                Drop(client);
        }
        std::erase_if(clients_, [](const auto& client) { return client->dead; });
    }
    for (auto& client : clients_) Drop(*client);
    clients_.clear();
}

void NetworkSink::Accept() {
    for (;;) {
        UniqueFd fd(::accept4(listen_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            // Out of descriptors or memory: the pending connection stays
            // queued, so listen again a little later instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = Clock::now() + std::chrono::milliseconds(100);
            return;
        }
        if (clients_.size() >= kMaxConnections) continue;  // closed at once
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof(kSendBuffer));
        auto client = std::make_unique<Client>();
        client->fd = std::move(fd);
        client->chunkSeq = 0;
        clients_.push_back(std::move(client));
    }
}

void NetworkSink::ReadFrom(Client& client) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(client.fd.Get(), buffer, sizeof(buffer), 0);
        if (n == 0) {
            // The viewer hung up. A request still being read is dropped too.
            Drop(client);
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            Drop(client);
            return;
        }
        if (client.state != Client::State::Request) continue;  // nothing more is expected
        client.request.append(buffer, static_cast<std::size_t>(n));
        if (client.request.size() > kMaxRequest) break;
        const bool complete = client.request.find("\r\n\r\n") != std::string::npos ||
                              client.request.find("\n\n") != std::string::npos;
        if (complete) {
            HandleRequest(client);
            return;
        }
    }
    // Only a request head longer than the limit gets here.
    client.request.clear();
    client.out = "HTTP/1.0 400 Bad Request\r\nConnection: close\r\n\r\n";
    client.closeAfterOut = true;
    client.state = Client::State::Sending;
}

void NetworkSink::HandleRequest(Client& client) {
    const Request request = ParseRequest(client.request);
    client.request.clear();
    client.request.shrink_to_fit();
    client.state = Client::State::Sending;
    client.closeAfterOut = true;
    if (!request.valid) {
        client.out = "HTTP/1.0 400 Bad Request\r\nConnection: close\r\n\r\n";
        return;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        client.out = "HTTP/1.0 501 Not Implemented\r\nConnection: close\r\n\r\n";
        return;
    }
    const bool viewer = request.method == "GET" && request.kind != Kind::Describe;
    if (viewer && served_ >= maxClients_) {
        client.out =
            "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\nConnection: "
            "close\r\n\r\n"
            "The maximum number of viewers is connected.\r\n";
        return;
    }
    client.framed = request.kind != Kind::Plain;
    std::string head =
        "HTTP/1.0 200 OK\r\nServer: Lumacast/1.0\r\nCache-Control: no-cache\r\nPragma: "
        "no-cache\r\n";
    if (client.framed) {
        head += request.kind == Kind::Describe
                    ? "Content-Type: application/vnd.ms.wms-hdr.asfv1\r\n"
                    : "Content-Type: application/x-mms-framed\r\n";
        head += "Pragma: client-id=" + std::to_string(nextClientId_++) +
                "\r\nPragma: features=\"broadcast\"\r\n";
    } else {
        head += "Content-Type: video/x-ms-asf\r\n";
    }
    head += "Connection: close\r\n\r\n";
    client.out = std::move(head);
    if (request.method == "HEAD") return;
    if (viewer) {
        client.counted = true;
        ++served_;
    }
    client.closeAfterOut = false;
    client.waitingHeader = true;
    client.state = Client::State::Streaming;
    client.since = Clock::now();
    StartStream(client);
    if (request.kind == Kind::Describe && !client.waitingHeader) client.closeAfterOut = true;
    if (request.kind == Kind::Describe) client.state = Client::State::Sending;
}

// Puts the stream header into the client's output once there is one.
void NetworkSink::StartStream(Client& client) {
    std::lock_guard lock(mutex_);
    if (!haveHeader_ || ended_) return;
    if (client.framed) {
        std::uint8_t prefix[12];
        ChunkPrefix(prefix, kChunkHeader, header_.size(), client.chunkSeq++, 0x0C);
        client.out.append(reinterpret_cast<const char*>(prefix), sizeof(prefix));
    }
    client.out.append(reinterpret_cast<const char*>(header_.data()), header_.size());
    client.generation = generation_;
    client.waitingHeader = false;
    client.waitingStart = true;
}

bool NetworkSink::SendOut(Client& client) {
    while (client.outPos < client.out.size()) {
        const ssize_t n = ::send(client.fd.Get(), client.out.data() + client.outPos,
                                 client.out.size() - client.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                client.Blocked();
            else if (errno != EINTR)
                Drop(client);
            return false;
        }
        client.blocked = false;
        client.outPos += static_cast<std::size_t>(n);
    }
    client.out.clear();
    client.outPos = 0;
    return true;
}

void NetworkSink::Pump(Client& client) {
    if (client.state == Client::State::Request) return;
    if (client.waitingHeader) {
        StartStream(client);
        if (client.waitingHeader) {
            // Before the first header only the response head may go out.
            if (!SendOut(client)) return;
            return;
        }
        // A describe request ends with the header.
        if (client.state == Client::State::Sending) client.closeAfterOut = true;
    }
    if (!SendOut(client)) return;
    if (client.closeAfterOut || client.state == Client::State::Sending) {
        Drop(client);
        return;
    }
    std::size_t budget = kSendBudget;
    std::unique_lock lock(mutex_);
    if (client.generation != generation_) {
        lock.unlock();
        Drop(client);
        return;
    }
    if (client.waitingStart) {
        if (!keyStream_) {
            client.seq = head_;
            client.waitingStart = false;
        } else if (lastKey_ != UINT64_MAX && lastKey_ + slots_ > head_) {
            // The first packet goes out as a private copy in which the video
            // before the key frame is hidden, so the viewer's first frame is
            // the key frame.
            if (client.framed) {
                std::uint8_t prefix[12];
                ChunkPrefix(prefix, kChunkData, packetSize_, client.chunkSeq++, 0);
                client.out.append(reinterpret_cast<const char*>(prefix), sizeof(prefix));
            }
            const std::size_t at = client.out.size();
            client.out.append(
                reinterpret_cast<const char*>(ring_.data() + (lastKey_ % slots_) * packetSize_),
                packetSize_);
            HidePayloadsBeforeKeyFrame(reinterpret_cast<std::uint8_t*>(client.out.data()) + at,
                                       packetSize_, keyStream_);
            client.seq = lastKey_ + 1;
            client.waitingStart = false;
            return;  // sent from the output on the next round
        } else if (ended_) {
            lock.unlock();
            Drop(client);
            return;
        } else {
            return;
        }
    }
    const std::size_t prefixSize = client.framed ? sizeof(client.prefixes[0]) : 0;
    const std::size_t total = prefixSize + packetSize_;
    while (budget > 0) {
        if (head_ > slots_ && client.seq < head_ - slots_) {
            // The ring has moved past this viewer: it cannot keep up.
            lock.unlock();
            Drop(client);
            return;
        }
        if (client.seq >= head_) {
            if (!ended_) return;
            if (client.framed) {
                std::uint8_t end[8];
                PutLe16(end, kChunkEnd);
                PutLe16(end + 2, 4);
                PutLe32(end + 4, client.chunkSeq++);
                client.out.assign(reinterpret_cast<const char*>(end), sizeof(end));
            }
            client.closeAfterOut = true;
            lock.unlock();
            if (SendOut(client)) Drop(client);
            return;
        }
        // Everything the viewer is missing, up to kBatch packets, in one
        // call: fewer system calls per viewer when packets come in bursts.
        iovec parts[2 * kBatch];
        int count = 0;
        std::size_t offset = client.offset;
        std::size_t gathered = 0;
        for (std::uint64_t seq = client.seq; seq < head_ && count < 2 * kBatch && gathered < budget;
             ++seq) {
            const std::size_t unit = static_cast<std::size_t>(seq - client.seq);
            if (client.framed) {
                std::uint8_t* prefix = client.prefixes[unit];
                ChunkPrefix(prefix, kChunkData, packetSize_,
                            client.chunkSeq + static_cast<std::uint32_t>(unit), 0);
                if (offset < prefixSize) {
                    parts[count++] = {prefix + offset, prefixSize - offset};
                    gathered += prefixSize - offset;
                }
            }
            const std::size_t skip = offset > prefixSize ? offset - prefixSize : 0;
            parts[count++] = {ring_.data() + (seq % slots_) * packetSize_ + skip,
                              packetSize_ - skip};
            gathered += packetSize_ - skip;
            offset = 0;
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t n = ::sendmsg(client.fd.Get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) client.Blocked();
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            lock.unlock();
            Drop(client);
            return;
        }
        client.blocked = false;
        budget -= std::min(budget, static_cast<std::size_t>(n));
        std::size_t sent = static_cast<std::size_t>(n);
        while (sent > 0) {
            const std::size_t left = total - client.offset;
            if (sent < left) {
                client.offset += sent;
                break;
            }
            sent -= left;
            client.offset = 0;
            ++client.seq;
            ++client.chunkSeq;
        }
        if (static_cast<std::size_t>(n) < gathered) return;  // the socket is full
    }
}

void NetworkSink::Drop(Client& client) {
    client.dead = true;
    if (!client.fd) return;
    if (client.counted) {
        client.counted = false;
        --served_;
    }
    client.fd.Reset();
}

}  // namespace wmv

HRESULT WMCreateWriterNetworkSink(wmv::IWMWriterNetworkSink** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) wmv::NetworkSink();
    return *out ? S_OK : E_OUTOFMEMORY;
}
