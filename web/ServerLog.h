#pragma once
// The web server's failure log: one timestamped line per failure, appended to
// a file in the user's state folder ($XDG_STATE_HOME/lumacast/, by default
// ~/.local/state/lumacast/). Requests that are served leave no trace.

#include <mutex>
#include <string>

inline constexpr const char* kServerLogFile = "REZizuve.log";

class ServerLog {
public:
    ServerLog() = default;
    virtual ~ServerLog() = default;

    // Appends "timestamp - message.\t[where]\t[code]\n" (without the where
    // part when where is null) to fileName in the state folder. Returns true
    // when the whole line was written. Safe from any thread.
    bool WriteLog(const char* fileName, const char* message, const char* where, int code);

    // The folder the log lives in, created when first needed.
    static std::string StateFolder();

private:
    std::mutex lock_;
};
