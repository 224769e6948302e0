#pragma once
// The texts of the web server's failure log. Many name the calls of the
// system the server was first written for: whoever reads the log, or counts
// its lines, goes by these words, so they stay as they are. Beside each is
// what failed here.

namespace logtext {

// Server start (EventServer::Run).
inline constexpr char kLaunchThread[] =  // starting the accept thread, or Run on a running server
    "_beginthreadex(...) failure, for Launch Thread";
inline constexpr char kHelperThread[] =  // starting the helper thread
    "_beginthreadex(...) failure, for Helper Thread";
inline constexpr char kShutdownEvent[] =  // eventfd for the shutdown event
    "WSACreateEvent(...) failure for ShutdownEvent";
inline constexpr char kAcceptThreadSilent[] =  // the accept thread not ready in time
    "Unable to get response from Accept Thread withing specified Timeout ->";
inline constexpr char kHelperThreadSilent[] =  // the helper thread not ready in time
    "Unable to get response from Helper Thread within specified Timeout ->";

// Accept thread.
inline constexpr char kSocket[] = "WSASocket(...) failure";  // socket()
inline constexpr char kBind[] = "bind(...) failure";         // bind()
inline constexpr char kListen[] = "listen(...) failure";     // listen()
inline constexpr char kAcceptWait[] =  // poll() on the listening socket and the shutdown event
    "WaitForMultipleObjects(...) failure";
inline constexpr char kSocketEvents[] =  // poll() reported an error on the socket itself
    "WSAEnumNetworkEvents(...) failure";
inline constexpr char kAccept[] = "WSAAccept(...) failure";  // accept4()
inline constexpr char kTooManyConnections[] = "Too many connections";
inline constexpr char kTooManyFromAddress[] = "Too many connections from one address";
inline constexpr char kClientThread[] = "_beginthreadex(...) failure";  // a connection's thread

// Connection threads.
inline constexpr char kClientWait[] =  // poll() on the connection and the shutdown event
    "WSAWaitForMultipleEvents(...) failure";
inline constexpr char kSend[] = "WSASend(...) failure";     // send() or sendfile()
inline constexpr char kReceive[] = "WSARecv(...) failure";  // recv()
inline constexpr char kThreadNotListed[] = "Thread not found in the list";
inline constexpr char kNoSpace[] = "No 'space' found in Request String #2";  // request refused

// Helper thread and shutdown: joining threads that did not end in time.
inline constexpr char kReapTimeout[] =  // a finished connection's thread
    "WaitForSingleObject(...) timed out";
inline constexpr char kShutdownTimeout[] =  // the accept and helper threads
    "WaitForMultipleObjects(...) timed out";

}  // namespace logtext
