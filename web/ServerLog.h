#pragma once
// The web server's failure log: one timestamped line per failure, appended to
// a file in the user's state folder ($XDG_STATE_HOME/lumacast/, by default
// ~/.local/state/lumacast/). Requests that are served leave no trace.
//
// The log stays small whatever a client does: a failure that repeats is
// written once, and the number of repeats follows in one more line when its
// window has passed; a file that would grow beyond kMaxLogBytes is moved
// aside to the same name plus ".1" (one old file is kept) and a new one begun.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

inline constexpr const char* kServerLogFile = "REZizuve.log";

class ServerLog {
  public:
    // Largest size of a log file; kOldLogSuffix marks the one file kept
    // when a log is moved aside.
    static constexpr std::uint64_t kMaxLogBytes = 1 << 20;
    static constexpr const char* kOldLogSuffix = ".1";
    // How long the repeats of a failure are counted before their count is
    // written.
    static constexpr std::chrono::milliseconds kRepeatWindow{10000};

    explicit ServerLog(std::chrono::milliseconds repeatWindow = kRepeatWindow)
        : repeatWindow_(repeatWindow) {}
    // Writes the counts still open.
    virtual ~ServerLog();
    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    // Appends "timestamp - message.\t[where]\t[code]\n" (without the where
    // part when where is null) to fileName in the state folder. The same
    // failure (message, where and code) again within the repeat window is
    // only counted; once the window has passed, "message (N more times)" is
    // written in the same format. Returns true when the line was written or
    // counted. Safe from any thread.
    bool WriteLog(const char* fileName, const char* message, const char* where, int code);

    // Writes the counts of repeats whose window has passed (all of them when
    // all is set). The server calls it now and then, so a count appears
    // even when nothing else fails.
    void FlushRepeats(bool all = false);

    // The folder the log lives in, created when first needed.
    static std::string StateFolder();

  private:
    struct Repeat {
        std::string fileName;
        std::string message;
        std::string where;
        bool hasWhere;
        int code;
        std::chrono::steady_clock::time_point since;
        std::uint64_t count;  // repeats not yet written
    };

    bool WriteLine(const std::string& fileName, const char* message, const char* where, int code);
    void WriteCount(const Repeat& repeat);
    void ExpireRepeats(std::chrono::steady_clock::time_point now, bool all);

    std::mutex lock_;
    std::chrono::milliseconds repeatWindow_;
    std::vector<Repeat> repeats_;  // failures seen within their window, oldest first
};
