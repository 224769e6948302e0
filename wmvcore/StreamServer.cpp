#include "wmvcore/StreamServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/ListenSocket.h"
#include "wmvcore/StreamRequest.h"

namespace wmv {
namespace {

constexpr std::size_t kMaxRequest = 8192;
// A viewer that takes no data at all for this long is gone or stuck.
constexpr auto kStallTimeout = std::chrono::seconds(5);
constexpr std::size_t kMaxConnections = 1024;
constexpr int kSendBuffer = 128 * 1024;

}  // namespace

void Connection::Blocked() {
    if (!blocked) blockedSince = Clock::now();
    blocked = true;
}

bool Connection::SendOut() {
    while (outPos < out.size()) {
        const ssize_t n =
            ::send(fd.Get(), out.data() + outPos, out.size() - outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                Blocked();
            else if (errno != EINTR)
                Drop();
            return false;
        }
        blocked = false;
        outPos += static_cast<std::size_t>(n);
    }
    out.clear();
    outPos = 0;
    return true;
}

void Connection::Drop() {
    dead = true;
    if (!fd) return;
    if (countedIn) {
        --*countedIn;
        countedIn = nullptr;
    }
    fd.Reset();
}

void StreamServer::SetRequestLimits(std::size_t perAddress, std::size_t total,
                                    Clock::duration deadline) {
    maxAwaitingPerAddress_ = perAddress;
    maxAwaiting_ = total;
    requestDeadline_ = deadline;
}

HRESULT StreamServer::Open(std::uint32_t* port, Handler* handler) {
    if (!port || !handler) return E_POINTER;
    if (listen_) return E_FAIL;
    if (*port > 65535) return E_INVALIDARG;
    std::uint16_t bound = 0;
    UniqueFd fd = OpenListenSocket(static_cast<std::uint16_t>(*port), &bound, nullptr);
    if (!fd) return HresultFromErrno(errno);
    UniqueFd wake = OpenWakeEvent();
    if (!wake) return HresultFromErrno(errno);
    *port = bound;
    handler_ = handler;
    listen_ = std::move(fd);
    {
        std::lock_guard lock(wakeMutex_);
        wake_ = std::move(wake);
    }
    stop_ = false;
    try {
        thread_ = std::thread(&StreamServer::Run, this);
    } catch (const std::system_error&) {
        listen_.Reset();
        std::lock_guard lock(wakeMutex_);
        wake_.Reset();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void StreamServer::Close() {
    if (!listen_) return;
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    connections_.clear();
    awaiting_ = 0;
    awaitingFrom_.clear();
    listen_.Reset();
    std::lock_guard lock(wakeMutex_);
    wake_.Reset();
}

void StreamServer::Wake() {
    // A sink may still be handed packets while its server closes: the
    // descriptor must not be closed, or its number reused, under the write.
    // Signalling an eventfd never waits.
    std::lock_guard lock(wakeMutex_);
    if (wake_) SignalWakeEvent(wake_.Get());
}

void StreamServer::WakeOnce() {
    if (!wakePending_.exchange(true)) Wake();
}

void StreamServer::Run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        fds.clear();
        fds.push_back({wake_.Get(), POLLIN, 0});
        fds.push_back({listen_.Get(),
                       static_cast<short>(Clock::now() >= acceptPausedUntil_ ? POLLIN : 0), 0});
        for (const auto& connection : connections_) {
            short events = POLLIN;
            if (connection->state != Connection::State::Request) events |= POLLOUT;
            // A streaming viewer that is up to date has nothing to write.
            if (connection->state == Connection::State::Streaming &&
                connection->outPos >= connection->out.size() && connection->viewer &&
                !connection->viewer->HasData())
                events = POLLIN;
            fds.push_back({connection->fd.Get(), events, 0});
        }
        if (::poll(fds.data(), fds.size(), 250) < 0 && errno != EINTR) break;
        if (stop_) break;
        if (fds[0].revents & POLLIN) ClearWakeEvent(wake_.Get());
        wakePending_ = false;
        if (fds[1].revents & POLLIN) Accept();
        const std::size_t polled = fds.size() - 2;
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            Connection& connection = *connections_[i];
            const short revents = i < polled ? fds[i + 2].revents : 0;
            if (revents & POLLIN) ReadFrom(connection);
            if (revents & (POLLERR | POLLNVAL)) connection.Drop();
            if (!connection.dead) Serve(connection);
            if (connection.blocked && Clock::now() - connection.blockedSince > kStallTimeout)
                connection.dead = true;
            if (connection.dead) connection.Drop();
            if (connection.state == Connection::State::Request &&
                Clock::now() - connection.since > requestDeadline_)
                connection.Drop();
            if (connection.awaiting &&
                (connection.dead || connection.state != Connection::State::Request))
                Settle(connection);
        }
        std::erase_if(connections_, [](const auto& connection) { return connection->dead; });
    }
    for (auto& connection : connections_) connection->Drop();
    connections_.clear();
    awaiting_ = 0;
    awaitingFrom_.clear();
}

void StreamServer::Accept() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        UniqueFd fd(::accept4(listen_.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors or memory: the pending connection stays
            // queued, so listen again a little later instead of spinning.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = Clock::now() + std::chrono::milliseconds(100);
            return;
        }
        const std::uint32_t address = peer.sin_addr.s_addr;
        const auto from = awaitingFrom_.find(address);
        if (connections_.size() >= kMaxConnections || awaiting_ >= maxAwaiting_ ||
            (from != awaitingFrom_.end() && from->second >= maxAwaitingPerAddress_)) {
            // Reset rather than closed: a client that reconnects as fast as
            // it is refused leaves no closing state behind in the kernel.
            const linger reset{1, 0};
            ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            continue;
        }
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof(kSendBuffer));
        auto connection = std::make_unique<Connection>();
        connection->fd = std::move(fd);
        connection->peer = address;
        connection->awaiting = true;
        ++awaiting_;
        ++awaitingFrom_[address];
        connections_.push_back(std::move(connection));
    }
}

void StreamServer::Settle(Connection& connection) {
    connection.awaiting = false;
    --awaiting_;
    const auto from = awaitingFrom_.find(connection.peer);
    if (from != awaitingFrom_.end() && --from->second == 0) awaitingFrom_.erase(from);
}

void StreamServer::ReadFrom(Connection& connection) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(connection.fd.Get(), buffer, sizeof(buffer), 0);
        if (n == 0) {
            // The viewer hung up. A request still being read is dropped too.
            connection.Drop();
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            connection.Drop();
            return;
        }
        if (connection.state != Connection::State::Request) continue;  // nothing more is expected
        connection.request.append(buffer, static_cast<std::size_t>(n));
        if (connection.request.size() > kMaxRequest) break;
        if (RequestHeadComplete(connection.request)) {
            handler_->OnRequest(connection);
            connection.request.clear();
            connection.request.shrink_to_fit();
            return;
        }
    }
    // Only a request head longer than the limit gets here.
    connection.request.clear();
    connection.out = "HTTP/1.0 400 Bad Request\r\nConnection: close\r\n\r\n";
    connection.closeAfterOut = true;
    connection.state = Connection::State::Sending;
}

void StreamServer::Serve(Connection& connection) {
    if (connection.state == Connection::State::Request) return;
    if (connection.viewer) {
        connection.viewer->Pump(connection);
        return;
    }
    // A reply that ends the connection.
    if (connection.SendOut()) connection.Drop();
}

}  // namespace wmv
