#pragma once
// The stream server's connection loop: one thread that listens, accepts,
// reads each request head and then keeps every connection served, all with
// non-blocking sockets and poll. What a request gets is decided by a handler;
// what a connection is sent after that by the viewer the handler gives it.
// A connection that never completes its request, or that takes no data for
// a while, is closed.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
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

    UniqueFd fd;
    State state = State::Request;
    std::string request;
    std::string out;  // bytes waiting to be sent, from outPos on
    std::size_t outPos = 0;
    bool closeAfterOut = false;
    bool dead = false;
    Clock::time_point since = Clock::now();
    bool blocked = false;  // the last send found the socket full
    Clock::time_point blockedSince{};
    // Where this connection counts while it is open (a viewer's place).
    std::atomic<std::uint32_t>* countedIn = nullptr;
    std::unique_ptr<Viewer> viewer;

    void Blocked();
    // Sends what waits in out. True when all of it is sent; false when the
    // socket is full or the connection was dropped.
    bool SendOut();
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
    };

    ~StreamServer() { Close(); }

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

  private:
    void Run();
    void Accept();
    void ReadFrom(Connection& connection);
    void Serve(Connection& connection);

    Handler* handler_ = nullptr;
    UniqueFd listen_;
    UniqueFd wake_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> wakePending_{false};
    std::vector<std::unique_ptr<Connection>> connections_;  // server thread only
    Clock::time_point acceptPausedUntil_{};                 // server thread only
};

}  // namespace wmv
