#include "wmvcore/StreamServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
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
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) return HresultFromErrno(errno);
    epoll_event watchWake{EPOLLIN, {.ptr = &wake_}};
    epoll_event watchListen{EPOLLIN, {.ptr = &listen_}};
    if (::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, wake.Get(), &watchWake) != 0 ||
        ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, fd.Get(), &watchListen) != 0)
        return HresultFromErrno(errno);
    *port = bound;
    epoll_ = std::move(epoll);
    listening_ = true;
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
        epoll_.Reset();
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
    epoll_.Reset();
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

void StreamServer::RecheckViewers() {
    recheck_ = true;
    Wake();
}

void StreamServer::Run() {
    // Sockets are watched edge-triggered for input and for room to write:
    // every connection with room is served on every round (packets arrive
    // for all viewers at once), so the kernel need only tell which have
    // input, which failed, and which found room after a full socket, not
    // look at each of them each time. A full socket is left alone until its
    // room comes, so a round costs what is ready.
    std::array<epoll_event, 256> events;
    while (!stop_) {
        const auto now = Clock::now();
        const bool listening = now >= acceptPausedUntil_;
        if (listening != listening_) {
            epoll_event listen{listening ? std::uint32_t{EPOLLIN} : 0u, {.ptr = &listen_}};
            if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, listen_.Get(), &listen) == 0)
                listening_ = listening;
        }
        const int ready = ::epoll_wait(epoll_.Get(), events.data(), events.size(), 250);
        if (ready < 0 && errno != EINTR) break;
        if (stop_) break;
        wakePending_ = false;
        for (int i = 0; i < ready; ++i) {
            const epoll_event& event = events[static_cast<std::size_t>(i)];
            if (event.data.ptr == &wake_) {
                ClearWakeEvent(wake_.Get());
            } else if (event.data.ptr == &listen_) {
                Accept();
            } else {
                Connection& connection = *static_cast<Connection*>(event.data.ptr);
                if (connection.dead) continue;
                if (event.events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) ReadFrom(connection);
                if (event.events & EPOLLERR) connection.Drop();
                // Room again after a full socket: it is served from now on.
                if (event.events & EPOLLOUT) connection.blocked = false;
            }
        }
        const bool recheck = recheck_.exchange(false);
        const auto served = Clock::now();
        for (const auto& entry : connections_) {
            Connection& connection = *entry;
            if (recheck && connection.state == Connection::State::Streaming &&
                !handler_->StillWelcome(connection))
                connection.Drop();
            // A full socket waits for its room: a send to it would only fail.
            if (!connection.dead && !connection.blocked) Serve(connection);
            if (connection.blocked && served - connection.blockedSince > kStallTimeout)
                connection.dead = true;
            if (connection.dead) connection.Drop();
            if (connection.state == Connection::State::Request &&
                served - connection.since > requestDeadline_)
                connection.Drop();
            if (connection.awaiting &&
                (connection.dead || connection.state != Connection::State::Request))
                Settle(connection);
        }
        // A closed descriptor leaves the watched set by itself.
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
        epoll_event watch{EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, {.ptr = connection.get()}};
        // Not watched, not served: out of kernel memory for the watch.
        if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd.Get(), &watch) != 0) continue;
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
