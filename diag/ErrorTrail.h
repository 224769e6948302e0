#pragma once
// The error trail: the program's memory of failed steps. Code that calls a
// media or system interface passes each result through CheckResult with the
// source line of the call; assertion-style checks record the checked
// expression with RecordEntry. Nothing is shown to the user; WriteErrorDump
// writes the whole trail to the dump file beside the program.
//
// Recording is safe from any thread. Entries and frames live as long as the
// trail and are never removed, so a returned TrailEntry reference stays valid.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hresult.h"

class ErrorTrail;

// One recorded check.
class TrailEntry {
  public:
    TrailEntry(ErrorTrail* trail, std::string expression, std::int32_t line);

    // The value text becomes "0x" and the 32 bits' lowercase hexadecimal
    // digits without leading zeros: 0 gives "0x0", -2147467259 "0x80004005".
    void SetValue(std::int32_t value);

    std::string expression;  // "hresult failed" or "assert: " + expression
    std::string value;       // "-unknown-" until SetValue
    std::int32_t line;

  private:
    ErrorTrail* trail_;
};

// A function the trail stands in; entries go to the innermost frame.
struct TrailFrame {
    std::vector<std::unique_ptr<TrailEntry>> entries;
    std::string functionName;
    std::string location;
};

class ErrorTrail {
  public:
    constexpr ErrorTrail() = default;
    ErrorTrail(const ErrorTrail&) = delete;
    ErrorTrail& operator=(const ErrorTrail&) = delete;

    // Opens a new innermost frame.
    TrailFrame& OpenFrame(std::string functionName, std::string location);

    // Opens the outermost frame that stands for the program itself: its file
    // name and full path. The process-wide trail does this at start-up; any
    // trail does it when an entry arrives before any frame exists, so no entry
    // is lost.
    void OpenProgramFrame();

    // Appends an entry to the innermost frame. With isAssertion the
    // expression is recorded as "assert: " + expression.
    TrailEntry& RecordEntry(const char* expression, std::int32_t line, bool isAssertion);

    // Records "hresult failed" with the code when resultCode is negative.
    // Returns true for a failure.
    bool CheckResult(HRESULT resultCode, std::int32_t line);

    // Rewrites the dump file (the program path ending in "log" instead of its
    // last three characters) with the trail as it stands. A file that cannot
    // be created is skipped silently.
    void WriteErrorDump();

    // The dump text written to an open stream.
    void WriteDump(std::FILE* file);

    std::size_t FrameCount() const;
    std::size_t EntryCount() const;

  private:
    friend class TrailEntry;
    TrailFrame& OpenFrameLocked(std::string functionName, std::string location);

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TrailFrame>> frames_;
};

// The process-wide trail. Constant-initialised, so it can be used from any
// start-up code; it opens the program's frame during start-up.
extern constinit ErrorTrail g_errorTrail;

// Shortcuts to g_errorTrail for call sites, which name their line from the
// table in diag/TrailLines.h:
//   if (CheckResult(hr, kTrailClientConnections)) return hr;
//   if (!pWriter) RecordAssertion("pWriter", kTrailStopWriter, 0);
bool CheckResult(HRESULT resultCode, std::int32_t line);
TrailEntry& RecordEntry(const char* expression, std::int32_t line, bool isAssertion);
// RecordEntry(expression, line, true) followed by SetValue(value).
void RecordAssertion(const char* expression, std::int32_t line, std::int32_t value);
void WriteErrorDump();

// Describes the running system for the dump's head: the distribution's name
// and version from /etc/os-release, then the kernel's name, release and
// machine, each piece ending in a space and the last in a line feed. Writes
// nothing when neither can be read.
void AppendOsVersion(std::FILE* file);

// The text AppendOsVersion writes, from an os-release file and the kernel's
// uname fields (null for "unreadable").
struct OsNames {
    std::string sysname;
    std::string release;
    std::string machine;
};
std::string DescribeOsVersion(const char* osReleasePath, const OsNames* kernel);
