#pragma once
// The connection engine of the embedded web server: one accept thread, one
// helper thread that reaps finished connection threads, and one thread per
// connection. It knows nothing of HTTP; a subclass decides when a request is
// complete and turns it into a response. Every failure is one line in the
// server log.
//
// A client cannot wear the process out: a request must be whole within the
// client time limit of its first byte, one address holds at most a few
// connections at once and all addresses together a bounded number, well below
// the process's descriptors, so the stream server beside it always has its
// own. Connections beyond either bound are closed at once, without a thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/UniqueHandle.h"
#include "web/ServerLog.h"

class TlsContext;

// What a connection sends back for one request: the bytes of head, then
// bodyLength bytes of the file body read from its start as they are sent, so
// that a large file never sits in memory whole.
struct ServerResponse {
    std::string head;
    UniqueFd body;
    std::uint64_t bodyLength = 0;

    std::uint64_t Size() const { return head.size() + bodyLength; }
};

class EventServer : public ServerLog {
  public:
    EventServer() = default;
    ~EventServer() override;
    EventServer(const EventServer&) = delete;
    EventServer& operator=(const EventServer&) = delete;

    // Starts listening on port (0 lets the system choose; see Port()) and
    // returns true once the accept and helper threads are ready.
    bool Run(int port, std::uint32_t clientTimeoutMs);
    // Stops every thread of the server. Returns true when the accept and helper
    // threads ended within 1000 ms, false when the server was not running or a
    // thread had to be left behind.
    bool Shutdown();

    // The port the server listens on, once Run succeeded.
    int Port() const { return boundPort_; }
    // Why the last Run could not listen: the system's error number of the
    // step that failed (socket, bind, listen), or 0 when it listens or failed
    // for another reason.
    int ListenError() const { return listenError_; }
    // Connections being served right now.
    std::size_t ClientCount();

    // Bounds of the connections served at once: from one address, and in all.
    // A total of 0 takes kMaxClients or a quarter of the process's open-file
    // limit at Run, whichever is lower (never below kMinClients). Call before
    // Run.
    void SetConnectionLimits(std::size_t perAddress, std::size_t total);
    // TLS on the port from the next Run on (nullptr: plain HTTP). A client
    // that speaks plain HTTP to it is sent to the https:// address. tls
    // outlives the server.
    void SetTls(TlsContext* tls) { tls_ = tls; }
    // How long a client has for its TLS handshake; it counts against its
    // address meanwhile, like any connection.
    static constexpr auto kHandshakeDeadline = std::chrono::seconds(10);

    // The bounds in force once Run succeeded.
    std::size_t MaxClientsPerAddress() const { return maxPerAddress_; }
    std::size_t MaxClients() const { return maxClients_; }

    // Bytes a connection may send without completing a request before it is
    // closed without a response.
    static constexpr std::size_t kMaxRequestBytes = 64 * 1024;
    // A browser opens about six connections to one server; a few viewers
    // behind one router share an address.
    static constexpr std::size_t kMaxClientsPerAddress = 32;
    static constexpr std::size_t kMaxClients = 512;
    static constexpr std::size_t kMinClients = 16;

  protected:
    // Called for each accepted connection before its thread starts. ipText is
    // "a.b.c.d"; port is the peer's port in network byte order.
    virtual int OnClientConnected(const char* ipText, std::uint16_t port) = 0;
    // Called after a whole response has been sent.
    virtual void OnDataSent(std::uint64_t byteCount) = 0;
    // Called after each receive, and after each response, with the bytes
    // received and not yet answered. Returns the length of the complete
    // request at their front, 0 while it is still incomplete; the bytes
    // behind it are the start of the next request.
    virtual std::size_t IsRequestComplete(const std::string& request) = 0;
    // Turns a complete request from peer (its address, as ipText) into
    // response (replacing it); keepAlive is the connection's flag, read and
    // written. False closes without sending.
    virtual bool ProcessRequest(const std::string& peer, const std::string& request,
                                ServerResponse& response, int& keepAlive) = 0;

  private:
    struct ClientThreadArgs {
        EventServer* server;
        int socket;
        std::uint32_t threadId;
        std::string address;
    };
    struct ClientEntry {
        Thread thread;
        std::uint32_t threadId;
        std::string address;  // as the per-address limit counts it
    };

    void AcceptThread();
    void HelperThread();
    static void ClientThread(ClientThreadArgs* args);
    void AddClient(int socket, const std::string& ipText, std::uint16_t port);
    void RemoveClient(int socket, ClientThreadArgs* args, std::uint32_t threadId);
    bool WriteServerLog(const char* message, const char* where, int code) {
        return WriteLog(kServerLogFile, message, where, code);
    }

    Thread acceptThread_;
    Thread helperThread_;
    UniqueFd shutdownEvent_;  // eventfd; readable once Shutdown has set it
    std::unique_ptr<Event> startedEvent_;
    std::list<ClientEntry> clientList_;
    std::map<std::string, std::size_t> clientsPerAddress_;  // guarded by clientLock_
    std::list<Thread> finishedThreads_;
    std::mutex clientLock_;  // guards clientList_, ClientThreadArgs; taken before reaperLock_
    std::mutex reaperLock_;  // guards finishedThreads_
    std::uint32_t nextThreadId_ = 0;
    int port_ = 0;
    int boundPort_ = 0;
    std::atomic<int> listenError_ = 0;  // written by the accept thread, read after Run
    std::uint32_t clientTimeoutMs_ = 0;
    TlsContext* tls_ = nullptr;
    std::size_t maxPerAddress_ = kMaxClientsPerAddress;
    std::size_t maxClients_ = 0;
    bool running_ = false;
};
