#include "wmvcore/StreamServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/HttpsRedirect.h"
#include "platform/ListenSocket.h"
#include "platform/PeerAddress.h"
#include "wmvcore/StreamRequest.h"

namespace wmv {
namespace {

constexpr std::size_t kMaxRequest = 8192;
// A viewer that takes no data at all for this long is gone or stuck.
constexpr auto kStallTimeout = std::chrono::seconds(5);
constexpr std::size_t kMaxConnections = 1024;
constexpr int kSendBuffer = 128 * 1024;

// A plain HTTP request on the TLS port gets the https:// address.
void TlsRedirect(Connection& connection) {
    const StreamRequest request = ParseRequest(connection.request);
    connection.out = HttpsRedirect(request.host, request.target, connection.fd.Get());
    connection.state = Connection::State::Sending;
    connection.closeAfterOut = true;
}

}  // namespace

void Connection::Blocked() {
    if (!blocked) blockedSince = Clock::now();
    blocked = true;
}

ssize_t Connection::Send(const iovec* parts, std::size_t count) {
    if (!session) {
        msghdr message{};
        message.msg_iov = const_cast<iovec*>(parts);
        message.msg_iovlen = count;
        return ::sendmsg(fd.Get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // Through TLS the parts go out gathered a record's worth at a time: a
    // record and a system call for every part (a chunk's prefix is 12 bytes)
    // cost a viewer several times what the encryption does. A record the
    // socket had no room for is offered again the next time, from where it
    // stopped; the caller then offers at least the same bytes, as TLS asks.
    char record[SSL3_RT_MAX_PLAIN_LENGTH];
    ssize_t total = 0;
    std::size_t part = 0;
    std::size_t partAt = 0;
    while (part < count) {
        std::size_t size = 0;
        while (part < count && size < sizeof record) {
            const std::size_t take = std::min(parts[part].iov_len - partAt, sizeof record - size);
            std::memcpy(record + size, static_cast<const char*>(parts[part].iov_base) + partAt,
                        take);
            size += take;
            partAt += take;
            if (partAt == parts[part].iov_len) {
                ++part;
                partAt = 0;
            }
        }
        std::size_t written = 0;
        if (SSL_write_ex(session.get(), record, size, &written) != 1) {
            const int error = SSL_get_error(session.get(), 0);
            if (total > 0) return total;
            errno =
                error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ ? EAGAIN : ECONNRESET;
            if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) ERR_clear_error();
            return -1;
        }
        total += static_cast<ssize_t>(written);
        if (written < size) break;
    }
    return total;
}

ssize_t Connection::Receive(char* buffer, std::size_t size) {
    if (!session) return ::recv(fd.Get(), buffer, size, 0);
    std::size_t got = 0;
    if (SSL_read_ex(session.get(), buffer, size, &got) == 1) return static_cast<ssize_t>(got);
    const int error = SSL_get_error(session.get(), 0);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    errno = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? EAGAIN : ECONNRESET;
    ERR_clear_error();
    return -1;
}

bool Connection::SendOut() {
    while (outPos < out.size()) {
        const iovec part{out.data() + outPos, out.size() - outPos};
        const ssize_t n = Send(&part, 1);
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
    // The close notice while the socket is still there, one try.
    if (session && tls == Tls::On) SSL_shutdown(session.get());
    session.reset();
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
                // A handshake goes on when there is room for its reply too.
                if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) ||
                    ((event.events & EPOLLOUT) && connection.tls == Connection::Tls::Handshake))
                    ReadFrom(connection);
                if (event.events & EPOLLERR) connection.Drop();
                // Room again after a full socket: it is served from now on.
                if (event.events & EPOLLOUT) connection.blocked = false;
            }
        }
        const bool recheck = recheck_.exchange(false);
        const auto served = Clock::now();
        handler_->OnRound(served);
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
        sockaddr_storage peer{};
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
        const std::string address = PeerAddressText(peer);
        const std::string counted = CountedAddress(address);
        const auto from = awaitingFrom_.find(counted);
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
        if (tlsContext_) connection->tls = Connection::Tls::Undecided;
        connection->awaiting = true;
        ++awaiting_;
        ++awaitingFrom_[counted];
        connections_.push_back(std::move(connection));
    }
}

void StreamServer::Settle(Connection& connection) {
    connection.awaiting = false;
    --awaiting_;
    const auto from = awaitingFrom_.find(CountedAddress(connection.peer));
    if (from != awaitingFrom_.end() && --from->second == 0) awaitingFrom_.erase(from);
}

bool StreamServer::OpenTls(Connection& connection) {
    using Tls = Connection::Tls;
    if (connection.tls == Tls::Undecided) {
        unsigned char first = 0;
        const ssize_t n = ::recv(connection.fd.Get(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
        if (n <= 0) {
            connection.Drop();
            return false;
        }
        constexpr unsigned char kHandshakeRecord = 0x16;
        if (first != kHandshakeRecord) {
            connection.tls = Tls::Redirect;
            return true;
        }
        SSL_CTX* context = tlsContext_();
        connection.session.reset(context ? SSL_new(context) : nullptr);
        SSL_CTX_free(context);
        if (!connection.session || SSL_set_fd(connection.session.get(), connection.fd.Get()) != 1) {
            connection.Drop();
            return false;
        }
        SSL_set_accept_state(connection.session.get());
        connection.tls = Tls::Handshake;
    }
    if (connection.tls != Tls::Handshake) return true;
    const int done = SSL_do_handshake(connection.session.get());
    if (done == 1) {
        connection.tls = Tls::On;
        return true;
    }
    const int error = SSL_get_error(connection.session.get(), done);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        ERR_clear_error();
        connection.Drop();
    }
    return false;  // on with the next event, within the request's deadline
}

void StreamServer::ReadFrom(Connection& connection) {
    if (!OpenTls(connection)) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = connection.Receive(buffer, sizeof(buffer));
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
            if (connection.tls == Connection::Tls::Redirect)
                TlsRedirect(connection);
            else
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
