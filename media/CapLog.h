#pragma once
// "caplib.txt": the capture library's small text log. Items are written as
// text followed by one blank; a line feed ends a line, writes the pending text
// to the file and starts the next line with the UTC time. The first write of
// the process replaces the file, later ones append; a file that cannot be
// opened loses the text and nothing else.

#include <mutex>
#include <string>

class CapLog {
  public:
    CapLog() = default;
    ~CapLog();  // writes what is pending
    CapLog(const CapLog&) = delete;
    CapLog& operator=(const CapLog&) = delete;

    void SetFileName(const std::string& name);
    std::string FileName() const;
    void WriteItem(const char* text);
    void WriteLineFeed();
    void Flush();
    // Back to the state of a fresh process (tests).
    void Reset(const std::string& name);

  private:
    void FlushLocked();

    static constexpr std::size_t kLineSize = 1024;
    mutable std::mutex mutex_;
    char scratch_[kLineSize] = {};
    std::string pending_;
    std::string fileName_ = "caplib.txt";
    bool firstWrite_ = true;
};

extern CapLog g_capLog;
