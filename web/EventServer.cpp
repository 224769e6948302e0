#include "web/EventServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/HttpsRedirect.h"
#include "platform/ListenSocket.h"
#include "platform/PeerAddress.h"
#include "web/LogTexts.h"
#include "web/TlsContext.h"
#include "web/ViewerAccess.h"

namespace {

constexpr std::uint32_t kStartupWaitMs = 2000;
constexpr std::uint32_t kShutdownWaitMs = 1000;
constexpr int kHelperPollMs = 100;
constexpr std::uint32_t kReapWaitMs = 1000;
constexpr int kShutdownPollMs = 100;
constexpr std::size_t kReceiveBytes = 100000;
// Offered per send call: a large file goes out in a few calls (the socket is
// non-blocking and takes what fits).
constexpr std::size_t kSendSliceBytes = 2u << 20;

enum class SendResult { Done, Pending, Failed, Truncated };

// Milliseconds until deadline for poll, rounded up so that a wake-up is
// never early; 0 once it has passed.
int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

// Waits until socket has one of events or deadline passes; false for the
// deadline, an error or the server shutting down.
bool WaitFor(int socket, short events, std::chrono::steady_clock::time_point deadline,
             int shutdownEvent) {
    for (;;) {
        pollfd waits[2] = {{socket, events, 0}, {shutdownEvent, POLLIN, 0}};
        const int ready = poll(waits, 2, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || waits[1].revents != 0) return false;
        return (waits[0].revents & (events | POLLHUP | POLLERR)) != 0;
    }
}

// A connection's bytes as they travel: as they are, or through TLS.
class ConnectionIo {
  public:
    explicit ConnectionIo(int socket) : socket_(socket) {}
    ~ConnectionIo() { Finish(); }
    ConnectionIo(const ConnectionIo&) = delete;
    ConnectionIo& operator=(const ConnectionIo&) = delete;

    // Ends TLS, while the socket is still open: its close notice, one try,
    // for the socket does not wait.
    void Finish() {
        if (!ssl_) return;
        if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }

    // The handshake, within deadline. False when it fails or runs out.
    bool StartTls(SSL_CTX* context, std::chrono::steady_clock::time_point deadline,
                  int shutdownEvent) {
        ssl_ = SSL_new(context);
        if (!ssl_ || SSL_set_fd(ssl_, socket_) != 1) return false;
        for (;;) {
            const int done = SSL_accept(ssl_);
            if (done == 1) return true;
            const int error = SSL_get_error(ssl_, done);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
            if (!WaitFor(socket_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline,
                         shutdownEvent))
                return false;
        }
    }

    // Bytes that arrived and are read already, waiting in TLS.
    bool Buffered() const { return ssl_ && SSL_pending(ssl_) > 0; }
    // What to wait for before the next receive or send: usual, unless TLS
    // asked for the other.
    short Wait(short usual) const { return want_ ? want_ : usual; }

    // Bytes received; 0 when the peer closed, -1 to wait (Wait says for
    // what), -2 on failure (errno set where the system failed).
    ssize_t Receive(char* buffer, std::size_t size) {
        want_ = 0;
        if (!ssl_) {
            const ssize_t got = recv(socket_, buffer, size, 0);
            if (got >= 0) return got;
            return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
        }
        std::size_t got = 0;
        if (SSL_read_ex(ssl_, buffer, size, &got) == 1) return static_cast<ssize_t>(got);
        return TlsFailure(0);
    }

    // Sends the rest of response from sendOffset, in slices of at most
    // 2 MiB; a plain connection sends the file body straight from the file.
    SendResult Send(const ServerResponse& response, std::uint64_t& sendOffset, int& error) {
        want_ = 0;
        const std::uint64_t total = response.Size();
        while (sendOffset < total) {
            std::uint64_t slice = std::min<std::uint64_t>(total - sendOffset, kSendSliceBytes);
            ssize_t sent;
            if (sendOffset < response.head.size()) {
                slice = std::min<std::uint64_t>(slice, response.head.size() - sendOffset);
                const int more = response.bodyLength ? MSG_MORE : 0;
                sent = Write(response.head.data() + sendOffset, slice, more);
            } else if (!ssl_) {
                off_t fileOffset = static_cast<off_t>(sendOffset - response.head.size());
                sent = sendfile(socket_, response.body.Get(), &fileOffset, slice);
                if (sent == 0) return SendResult::Truncated;  // the file shrank under us
                if (sent < 0) sent = errno == EINTR ? 0 : errno == EAGAIN ? -1 : -2;
            } else {
                // Through TLS the body is read and written a slice at a
                // time; a slice that must be tried again is read again
                // from the same place.
                const std::size_t chunk = std::min<std::uint64_t>(slice, sizeof buffer_);
                const off_t fileOffset = static_cast<off_t>(sendOffset - response.head.size());
                const ssize_t read = pread(response.body.Get(), buffer_, chunk, fileOffset);
                if (read <= 0) return SendResult::Truncated;
                sent = Write(buffer_, static_cast<std::size_t>(read), 0);
            }
            if (sent == -1) return SendResult::Pending;
            if (sent == -2) {
                error = errno;
                return SendResult::Failed;
            }
            sendOffset += static_cast<std::uint64_t>(sent);
        }
        return SendResult::Done;
    }

  private:
    // Bytes written; -1 to wait, -2 on failure.
    ssize_t Write(const char* bytes, std::size_t size, int more) {
        if (!ssl_) {
            const ssize_t sent = send(socket_, bytes, size, MSG_NOSIGNAL | more);
            if (sent >= 0) return sent;
            return errno == EINTR ? 0 : errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
        }
        std::size_t written = 0;
        if (SSL_write_ex(ssl_, bytes, size, &written) == 1) return static_cast<ssize_t>(written);
        const ssize_t failure = TlsFailure(0);
        return failure == 0 ? -2 : failure;
    }

    ssize_t TlsFailure(int result) {
        switch (SSL_get_error(ssl_, result)) {
            case SSL_ERROR_WANT_READ:
                want_ = POLLIN;
                return -1;
            case SSL_ERROR_WANT_WRITE:
                want_ = POLLOUT;
                return -1;
            case SSL_ERROR_ZERO_RETURN:
                return 0;  // the peer closed
            default:
                errno = ECONNRESET;
                return -2;
        }
    }

    int socket_;
    SSL* ssl_ = nullptr;
    short want_ = 0;
    char buffer_[16 * 1024];
};

// The TLS port's answer to a plain HTTP request.
std::string TlsRedirect(const std::string& request, int socket) {
    const std::size_t space = request.find(' ');
    const std::string target =
        space == std::string::npos
            ? std::string()
            : request.substr(space + 1, request.find_first_of(" \r\n", space + 1) - space - 1);
    return HttpsRedirect(HeaderValue(request, "Host"), target, socket);
}

void SetEvent(int eventFd) {
    SignalWakeEvent(eventFd);
}

// A quarter of the descriptors the process may open: the rest stay for the
// stream server's viewers, the capture and the files of the program.
std::size_t DefaultMaxClients() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return EventServer::kMaxClients;
    }
    return std::clamp<std::size_t>(static_cast<std::size_t>(limit.rlim_cur / 4),
                                   EventServer::kMinClients, EventServer::kMaxClients);
}

}  // namespace

EventServer::~EventServer() {
    Shutdown();
}

void EventServer::SetConnectionLimits(std::size_t perAddress, std::size_t total) {
    maxPerAddress_ = perAddress;
    maxClients_ = total;
}

bool EventServer::Run(int port, std::uint32_t clientTimeoutMs) {
    if (running_) {
        WriteServerLog(logtext::kLaunchThread, "Run", errno);
        return false;
    }
    port_ = port;
    clientTimeoutMs_ = clientTimeoutMs;
    listenError_ = 0;
    if (maxClients_ == 0) maxClients_ = DefaultMaxClients();

    // Every thread of the server waits on this event, so it exists before any
    // of them starts and outlives them all.
    shutdownEvent_ = OpenWakeEvent();
    if (!shutdownEvent_) {
        WriteServerLog(logtext::kShutdownEvent, "AcceptThread", errno);
        return false;
    }

    startedEvent_ = std::make_unique<Event>(Event::Kind::AutoReset, true);
    startedEvent_->Reset();

    if (const int error = acceptThread_.Start([this] { AcceptThread(); }); error != 0) {
        WriteServerLog(logtext::kLaunchThread, "Run", error);
        return false;
    }
    if (!startedEvent_->Wait(kStartupWaitMs)) {
        WriteServerLog(logtext::kAcceptThreadSilent, "Run", static_cast<int>(kStartupWaitMs));
        // The accept thread ends by itself when its set-up failed; should it
        // merely be late, the event sends it away.
        SetEvent(shutdownEvent_.Get());
        if (!acceptThread_.Join(kShutdownWaitMs)) acceptThread_.Detach();
        return false;
    }

    startedEvent_->Reset();
    if (const int error = helperThread_.Start([this] { HelperThread(); }); error != 0) {
        WriteServerLog(logtext::kHelperThread, "Run", error);
        SetEvent(shutdownEvent_.Get());
        if (!acceptThread_.Join(kShutdownWaitMs)) acceptThread_.Detach();
        return false;
    }
    if (!startedEvent_->Wait(kStartupWaitMs)) {
        WriteServerLog(logtext::kHelperThreadSilent, "Run", static_cast<int>(kStartupWaitMs));
        SetEvent(shutdownEvent_.Get());
        if (!acceptThread_.Join(kShutdownWaitMs)) acceptThread_.Detach();
        if (!helperThread_.Join(kShutdownWaitMs)) helperThread_.Detach();
        return false;
    }
    running_ = true;
    return true;
}

void EventServer::AcceptThread() {
    std::uint16_t bound = 0;
    ListenStep failed = ListenStep::Socket;
    UniqueFd listener =
        OpenListenSocket(static_cast<std::uint16_t>(port_ & 0xFFFF), &bound, &failed);
    if (!listener) {
        const int error = errno;
        listenError_ = error;
        WriteServerLog(failed == ListenStep::Socket ? logtext::kSocket
                       : failed == ListenStep::Bind ? logtext::kBind
                                                    : logtext::kListen,
                       "AcceptThread", error);
        return;
    }
    boundPort_ = bound;

    startedEvent_->Set();
    for (;;) {
        pollfd events[2] = {{shutdownEvent_.Get(), POLLIN, 0}, {listener.Get(), POLLIN, 0}};
        if (poll(events, 2, -1) < 0) {
            if (errno == EINTR) continue;
            WriteServerLog(logtext::kAcceptWait, "AcceptThread", errno);
            break;
        }
        if (events[0].revents != 0) break;
        if (events[1].revents & (POLLERR | POLLNVAL)) {
            WriteServerLog(logtext::kSocketEvents, "AcceptThread", EBADF);
            break;
        }
        if (!(events[1].revents & POLLIN)) continue;

        // Take every connection that is waiting.
        for (;;) {
            sockaddr_storage peer{};
            socklen_t peerLength = sizeof peer;
            const int client = accept4(listener.Get(), reinterpret_cast<sockaddr*>(&peer),
                                       &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                if (errno == EINTR || errno == ECONNABORTED) continue;
                const int error = errno;
                WriteServerLog(logtext::kAccept, "AcceptThread", error);
                if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                    // Out of descriptors or memory: the connection stays queued,
                    // so pause instead of spinning on it.
                    pollfd pause{shutdownEvent_.Get(), POLLIN, 0};
                    poll(&pause, 1, kHelperPollMs);
                }
                break;
            }
            AddClient(client, PeerAddressText(peer), PeerPort(peer));
        }
    }
}

void EventServer::AddClient(int socket, const std::string& ipText, std::uint16_t port) {
    // An IPv6 client counts by its /64.
    const std::string counted = CountedAddress(ipText);
    {
        // Refused at once: no thread, no buffer, the descriptor back at once.
        std::unique_lock guard(clientLock_);
        const char* refusal = nullptr;
        int code = 0;
        if (clientList_.size() >= maxClients_) {
            refusal = logtext::kTooManyConnections;
            code = static_cast<int>(maxClients_);
        } else if (clientsPerAddress_[counted] >= maxPerAddress_) {
            refusal = logtext::kTooManyFromAddress;
            code = static_cast<int>(maxPerAddress_);
        }
        if (refusal) {
            if (clientsPerAddress_[counted] == 0) clientsPerAddress_.erase(counted);
            guard.unlock();
            close(socket);
            WriteServerLog(refusal, "AddClient", code);
            return;
        }
    }

    OnClientConnected(ipText.c_str(), port);
    int error = 0;
    {
        // The thread starts under the lock so that it is listed before it
        // can end: its RemoveClient waits here until then. Starting a thread
        // waits for nothing that needs this lock.
        std::lock_guard guard(clientLock_);
        const std::uint32_t threadId = ++nextThreadId_;
        auto* args = new ClientThreadArgs{this, socket, threadId, ipText};
        Thread thread;
        error = thread.Start([args] { ClientThread(args); });
        if (error == 0) {
            ++clientsPerAddress_[counted];
            clientList_.push_back({std::move(thread), threadId, counted});
            return;
        }
        delete args;
    }
    close(socket);
    WriteServerLog(logtext::kClientThread, "AddClient", error);
}

void EventServer::ClientThread(ClientThreadArgs* args) {
    using Clock = std::chrono::steady_clock;
    EventServer& server = *args->server;
    const int socket = args->socket;
    const std::uint32_t threadId = args->threadId;
    const std::chrono::milliseconds limit(server.clientTimeoutMs_);

    std::string requestBuffer;         // received and not yet answered
    Clock::time_point requestStarted;  // arrival of the first byte in requestBuffer
    ServerResponse response;
    std::uint64_t sendOffset = 0;
    bool sendPending = false;
    int keepAlive = 0;
    char receiveBuffer[kReceiveBytes];
    ConnectionIo io(socket);
    // On a TLS port: a client that speaks plain HTTP gets the https address.
    bool redirect = false;
    if (server.tls_) {
        const auto deadline = Clock::now() + kHandshakeDeadline;
        unsigned char first = 0;
        const int shutdownEvent = server.shutdownEvent_.Get();
        if (!WaitFor(socket, POLLIN, deadline, shutdownEvent) ||
            recv(socket, &first, 1, MSG_PEEK) != 1) {
            server.RemoveClient(socket, args, threadId);
            return;
        }
        constexpr unsigned char kHandshakeRecord = 0x16;
        if (first != kHandshakeRecord) {
            redirect = true;
        } else if (!io.StartTls(server.tls_->Current().get(), deadline, shutdownEvent)) {
            io.Finish();
            server.RemoveClient(socket, args, threadId);
            return;
        }
    }

    // Sends what is left of the response. False ends the connection.
    const auto sendRest = [&]() -> bool {
        int error = 0;
        switch (io.Send(response, sendOffset, error)) {
            case SendResult::Pending:
                sendPending = true;
                return true;
            case SendResult::Failed:
                server.WriteServerLog(logtext::kSend, "ClientThread, Primary Send", error);
                keepAlive = 0;
                return false;
            case SendResult::Truncated:
                return false;  // Content-Length can no longer be met
            case SendResult::Done:
                break;
        }
        sendPending = false;
        server.OnDataSent(sendOffset);
        response.body.Reset();
        // Bytes that came behind the request just answered start the next
        // request's time now.
        requestStarted = Clock::now();
        return keepAlive != 0;
    };

    for (;;) {
        if (!sendPending) {
            // Answer the complete request at the front, even when it came in
            // one packet with the one before it.
            const std::size_t length =
                std::min(server.IsRequestComplete(requestBuffer), requestBuffer.size());
            if (length > 0) {
                const std::string request = requestBuffer.substr(0, length);
                requestBuffer.erase(0, length);
                if (redirect) {
                    response.head = TlsRedirect(request, socket);
                    response.body.Reset();
                    response.bodyLength = 0;
                    keepAlive = 0;
                } else if (!server.ProcessRequest(args->address, request, response, keepAlive)) {
                    break;
                }
                sendOffset = 0;
                if (!sendRest()) break;
                continue;
            }
            if (requestBuffer.size() > kMaxRequestBytes) break;
        }

        int timeout = -1;
        if (limit.count() > 0) {
            if (!sendPending && !requestBuffer.empty()) {
                // However slowly a request drips in, it is whole within the
                // limit of its first byte or the connection ends unanswered.
                timeout = MillisecondsUntil(requestStarted + limit);
                if (timeout == 0) break;
            } else {
                timeout = static_cast<int>(
                    std::min<std::chrono::milliseconds::rep>(limit.count(), INT_MAX));
            }
        }
        // While a response is pending only its sending is of interest: a
        // request read meanwhile waits in the socket. Bytes that TLS has
        // read already need no wait.
        const short wanted = io.Wait(sendPending ? POLLOUT : POLLIN);
        pollfd events[2] = {{socket, wanted, 0}, {server.shutdownEvent_.Get(), POLLIN, 0}};
        const bool buffered = !sendPending && io.Buffered();
        const int ready = buffered ? 1 : poll(events, 2, timeout);
        if (buffered) events[0].revents = POLLIN;
        if (ready < 0) {
            if (errno == EINTR) continue;
            server.WriteServerLog(logtext::kClientWait, "ClientThread", errno);
            break;
        }
        if (events[1].revents != 0) break;  // shutting down
        if (ready == 0) {
            // Idle too long, or the request's time is up (checked above).
            if (sendPending || requestBuffer.empty()) break;
            continue;
        }
        const short happened = events[0].revents;
        if (happened == 0) continue;
        if (happened & POLLNVAL) {
            server.WriteServerLog(logtext::kSocketEvents, "ClientThread", EBADF);
            break;
        }

        if (sendPending) {
            if (!sendRest()) break;
            continue;
        }
        const ssize_t received = io.Receive(receiveBuffer, sizeof receiveBuffer);
        if (received == 0) break;  // the peer closed
        if (received == -1) continue;
        if (received < 0) {
            if (errno != ECONNRESET) {
                server.WriteServerLog(logtext::kReceive, "ClientThread", errno);
            }
            break;
        }
        if (requestBuffer.empty()) requestStarted = Clock::now();
        requestBuffer.append(receiveBuffer, static_cast<std::size_t>(received));
    }
    io.Finish();
    server.RemoveClient(socket, args, threadId);
}

void EventServer::RemoveClient(int socket, ClientThreadArgs* args, std::uint32_t threadId) {
    close(socket);
    std::unique_lock clientGuard(clientLock_);
    delete args;
    const auto entry = std::find_if(clientList_.begin(), clientList_.end(),
                                    [threadId](const auto& e) { return e.threadId == threadId; });
    if (entry == clientList_.end()) {
        clientGuard.unlock();
        WriteServerLog(logtext::kThreadNotListed, "ClientThread", 0);
        return;
    }
    if (const auto count = clientsPerAddress_.find(entry->address);
        count != clientsPerAddress_.end() && --count->second == 0) {
        clientsPerAddress_.erase(count);
    }
    {
        std::lock_guard reaperGuard(reaperLock_);
        finishedThreads_.push_back(std::move(entry->thread));
    }
    clientList_.erase(entry);
}

void EventServer::HelperThread() {
    startedEvent_->Set();
    for (;;) {
        pollfd shutdown{shutdownEvent_.Get(), POLLIN, 0};
        const int ready = poll(&shutdown, 1, kHelperPollMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready != 0) break;
        FlushRepeats();
        // Joined outside the lock: a client thread that is ending takes it
        // (under the client lock) to hand itself over, and must not wait for
        // the joins of others.
        decltype(finishedThreads_) finished;
        {
            std::lock_guard guard(reaperLock_);
            finished.swap(finishedThreads_);
        }
        for (Thread& thread : finished) {
            if (!thread.Join(kReapWaitMs)) {
                WriteServerLog(logtext::kReapTimeout, "HelperThread", 0);
                thread.Detach();
            }
        }
    }
}

bool EventServer::Shutdown() {
    if (!running_) return false;
    SetEvent(shutdownEvent_.Get());

    bool result = true;
    const std::uint32_t started = timeGetTime();
    const bool acceptEnded = acceptThread_.Join(kShutdownWaitMs);
    const std::uint32_t spent = timeGetTime() - started;
    const bool helperEnded =
        helperThread_.Join(spent < kShutdownWaitMs ? kShutdownWaitMs - spent : 0);
    if (!acceptEnded || !helperEnded) {
        // A thread cannot be killed safely here: it is left to end alone.
        WriteServerLog(logtext::kShutdownTimeout, "Shutdown", 0);
        acceptThread_.Detach();
        helperThread_.Detach();
        result = false;
    }

    for (;;) {
        {
            std::lock_guard guard(clientLock_);
            if (clientList_.empty()) break;
        }
        pollfd none{-1, 0, 0};
        poll(&none, 1, kShutdownPollMs);
    }
    // Every client thread has removed itself; reap the ones the helper did not.
    decltype(finishedThreads_) finished;
    {
        std::lock_guard guard(reaperLock_);
        finished.swap(finishedThreads_);
    }
    for (Thread& thread : finished) {
        if (!thread.Join(kReapWaitMs)) thread.Detach();
    }
    startedEvent_.reset();
    FlushRepeats(true);
    running_ = false;
    return result;
}

std::size_t EventServer::ClientCount() {
    std::lock_guard guard(clientLock_);
    return clientList_.size();
}
