#pragma once
// The stream server's connection loop: one thread that listens, accepts,
// reads each request head and then keeps every connection served, all with
// non-blocking sockets and epoll. What a request gets is decided by a handler;
// what a connection is sent after that by the viewer the handler gives it.
// A connection that never completes its request, or that takes no data for
// a while, is closed.
//
// Connections still waiting for their request are bounded per client address
// and in all, apart from the viewers, and each must bring its request head
// within a short time of being accepted; beyond either bound a new connection
// is reset at once. So silent connections from one place cannot keep the
// viewers of another out.

#include <openssl/ssl.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/hresult.h"

namespace wmv {

using Clock = std::chrono::steady_clock;

class Viewer;

// One connection of the stream server. Touched by the server thread only.
struct Connection {
    enum class State {
        Request,    // the request head is being read
        Sending,    // a reply that ends the connection once it is out
        Streaming,  // a viewer being served
    };

    // Through TLS, on a port that speaks it: Undecided until the client's
    // first byte says whether it opens a handshake; a client that speaks
    // plain HTTP there is sent to the https:// address (Redirect).
    enum class Tls { Off, Undecided, Handshake, On, Redirect };

    UniqueFd fd;
    std::string peer;  // the client's address (PeerAddressText)
    Tls tls = Tls::Off;
    UniqueHandle<SSL, SSL_free> session;
    State state = State::Request;
    std::string request;
    std::string out;  // bytes waiting to be sent, from outPos on
    std::size_t outPos = 0;
    bool closeAfterOut = false;
    bool dead = false;
    Clock::time_point since = Clock::now();
    bool awaiting = false;  // counted among the connections awaiting a request
    // The last send found the socket full (or filled it): not served again
    // until the kernel says there is room.
    bool blocked = false;
    Clock::time_point blockedSince{};
    // Where this connection counts while it is open (a viewer's place).
    std::atomic<std::uint32_t>* countedIn = nullptr;
    std::unique_ptr<Viewer> viewer;
    // The request head that let a viewer in, where an access rule may be
    // asked about it again.
    std::string admission;

    void Blocked();
    // Sends what waits in out. True when all of it is sent; false when the
    // socket is full or the connection was dropped.
    bool SendOut();
    // Sends the parts in order, through TLS where it is on: the bytes the
    // socket took, or -1 with errno (EAGAIN when it is full).
    ssize_t Send(const iovec* parts, std::size_t count);
    // Receives into buffer: the bytes, 0 once the peer closed, or -1 with
    // errno (EAGAIN when nothing more is there).
    ssize_t Receive(char* buffer, std::size_t size);
    // Closes the connection; it is removed at the end of the round.
    void Drop();
};

// What a connection is served after its request was answered.
class Viewer {
  public:
    virtual ~Viewer() = default;
    // Whether there is anything to send now (asked before each wait).
    virtual bool HasData() = 0;
    // Sends what is due; may drop the connection. Called every round and
    // whenever the server is woken.
    virtual void Pump(Connection& connection) = 0;
};

class StreamServer {
  public:
    class Handler {
      public:
        virtual ~Handler() = default;
        // The request head of the connection is complete (server thread):
        // set its reply, state and viewer.
        virtual void OnRequest(Connection& connection) = 0;
        // After RecheckViewers (server thread): whether a viewer may stay.
        virtual bool StillWelcome(const Connection& connection) {
            (void)connection;
            return true;
        }
        // Every round of the server thread, at least four times a second.
        virtual void OnRound(Clock::time_point now) { (void)now; }
    };

    // How long a connection may take from its accept to a whole request
    // head. A player sends its head at once, a few hundred bytes in one
    // segment; five seconds still cover two lost segments sent again on a
    // poor link, and a silent connection gives its place up soon. Bytes that
    // trickle in do not extend it.
    static constexpr auto kRequestDeadline = std::chrono::seconds(5);
    // Connections awaiting their request from one address, and in all. A
    // connection awaits only for a round trip when its client behaves, so
    // these are far above what viewers behind one router need at once, and
    // far below the process's descriptors.
    static constexpr std::size_t kMaxAwaitingPerAddress = 16;
    static constexpr std::size_t kMaxAwaiting = 256;

    ~StreamServer() { Close(); }

    // Other bounds for connections awaiting their request; before Open.
    void SetRequestLimits(std::size_t perAddress, std::size_t total, Clock::duration deadline);
    // TLS on the port (before Open): context gives a new reference to the
    // context for a connection starting now. The handshake is part of the
    // request, with its deadline and its place among those awaiting one.
    void SetTls(std::function<SSL_CTX*()> context) { tlsContext_ = std::move(context); }

    // Listens on the port (0: one the system picks; the port in use is
    // written back) and starts the server thread.
    HRESULT Open(std::uint32_t* port, Handler* handler);
    // Stops the thread and closes every connection.
    void Close();
    bool IsOpen() const { return static_cast<bool>(listen_); }

    // Any thread: something changed, serve the viewers now.
    void Wake();
    // Like Wake, but one wake-up until the server has looked: the packets of
    // a burst share it.
    void WakeOnce();
    // Any thread: asks the handler about every viewer at the next round and
    // disconnects those it no longer welcomes.
    void RecheckViewers();

  private:
    void Run();
    void Accept();
    void ReadFrom(Connection& connection);
    // The TLS steps before a request can be read; false while they wait.
    bool OpenTls(Connection& connection);
    void Serve(Connection& connection);
    // The connection no longer awaits its request (answered or gone).
    void Settle(Connection& connection);

    Handler* handler_ = nullptr;
    UniqueFd listen_;
    std::mutex wakeMutex_;  // guards wake_ against Wake from other threads
    UniqueFd wake_;
    UniqueFd epoll_;         // watches wake_, listen_ and every connection
    bool listening_ = true;  // server thread only: listen_ is watched for input
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> wakePending_{false};
    std::atomic<bool> recheck_{false};
    std::vector<std::unique_ptr<Connection>> connections_;  // server thread only
    Clock::time_point acceptPausedUntil_{};                 // server thread only
    std::size_t awaiting_ = 0;                              // server thread only
    // By the address the limits count (CountedAddress); server thread only.
    std::unordered_map<std::string, std::size_t> awaitingFrom_;
    std::size_t maxAwaitingPerAddress_ = kMaxAwaitingPerAddress;
    std::size_t maxAwaiting_ = kMaxAwaiting;
    Clock::duration requestDeadline_ = kRequestDeadline;
    std::function<SSL_CTX*()> tlsContext_;
};

}  // namespace wmv
