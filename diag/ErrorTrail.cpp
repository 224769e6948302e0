#include "diag/ErrorTrail.h"

#include <cinttypes>

#include "diag/ProgramPath.h"
#include "platform/UniqueHandle.h"

constinit ErrorTrail g_errorTrail;

namespace {

// The program's own frame is the outermost one, opened before main runs.
// g_errorTrail is constant-initialised, so this may run in any order.
const bool g_programFrameOpened = [] {
    g_errorTrail.OpenProgramFrame();
    return true;
}();

constexpr const char kRule[] = "----------------------------------------\n";
static_assert(sizeof(kRule) == 40 + 2, "a rule is 40 hyphens and a line feed");

using UniqueFile = UniqueHandle<std::FILE, std::fclose>;

}  // namespace

TrailEntry::TrailEntry(ErrorTrail* trail, std::string expression, std::int32_t line)
    : expression(std::move(expression)), value("-unknown-"), line(line), trail_(trail) {}

void TrailEntry::SetValue(std::int32_t newValue) {
    char text[2 + 8 + 1];
    std::snprintf(text, sizeof text, "0x%" PRIx32, static_cast<std::uint32_t>(newValue));
    std::lock_guard lock(trail_->mutex_);
    value = text;
}

TrailFrame& ErrorTrail::OpenFrameLocked(std::string functionName, std::string location) {
    auto frame = std::make_unique<TrailFrame>();
    frame->functionName = std::move(functionName);
    frame->location = std::move(location);
    frames_.push_back(std::move(frame));
    return *frames_.back();
}

TrailFrame& ErrorTrail::OpenFrame(std::string functionName, std::string location) {
    std::lock_guard lock(mutex_);
    return OpenFrameLocked(std::move(functionName), std::move(location));
}

namespace {

std::string ProgramName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void ErrorTrail::OpenProgramFrame() {
    const std::string path = ProgramPath();
    std::lock_guard lock(mutex_);
    // An entry recorded even earlier has opened it already.
    if (frames_.empty()) OpenFrameLocked(ProgramName(path), path);
}

TrailEntry& ErrorTrail::RecordEntry(const char* expression, std::int32_t line, bool isAssertion) {
    std::string text = expression ? expression : "";
    if (isAssertion) text = "assert: " + text;
    auto entry = std::make_unique<TrailEntry>(this, std::move(text), line);

    {
        std::lock_guard lock(mutex_);
        if (!frames_.empty()) {
            frames_.back()->entries.push_back(std::move(entry));
            return *frames_.back()->entries.back();
        }
    }
    // No frame yet: the entry goes into the program's frame, opened now.
    const std::string path = ProgramPath();
    std::lock_guard lock(mutex_);
    if (frames_.empty()) OpenFrameLocked(ProgramName(path), path);
    frames_.back()->entries.push_back(std::move(entry));
    return *frames_.back()->entries.back();
}

bool ErrorTrail::CheckResult(HRESULT resultCode, std::int32_t line) {
    if (resultCode < 0) RecordEntry("hresult failed", line, false).SetValue(resultCode);
    return resultCode < 0;
}

void ErrorTrail::WriteDump(std::FILE* file) {
    std::fputs("\n", file);
    std::fputs(kRule, file);
    std::fputs(" Error dump\n", file);
    std::fputs(kRule, file);
    AppendOsVersion(file);
    std::fputs("\n", file);
    std::fputs("Stack and variables:\n\n", file);

    std::lock_guard lock(mutex_);
    for (std::size_t k = 0; k < frames_.size(); ++k) {
        const TrailFrame& frame = *frames_[k];
        for (std::size_t i = 0; i < k + 1; ++i) std::fputs("--", file);
        std::fprintf(file, "%s  at  <%s>\n", frame.functionName.c_str(), frame.location.c_str());
        for (const auto& entry : frame.entries) {
            for (std::size_t i = 0; i < k + 2; ++i) std::fputs("  ", file);
            std::fprintf(file, "Line %4d   %s == %s\n", static_cast<int>(entry->line),
                         entry->expression.c_str(), entry->value.c_str());
        }
    }
}

void ErrorTrail::WriteErrorDump() {
    const std::string path = ReplaceLastThree(UserFilesPath(), "log");
    if (path.empty()) return;
    UniqueFile file(std::fopen(path.c_str(), "w"));
    if (!file) return;
    WriteDump(file.get());
}

std::size_t ErrorTrail::FrameCount() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

std::size_t ErrorTrail::EntryCount() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& frame : frames_) count += frame->entries.size();
    return count;
}

bool CheckResult(HRESULT resultCode, std::int32_t line) {
    return g_errorTrail.CheckResult(resultCode, line);
}

TrailEntry& RecordEntry(const char* expression, std::int32_t line, bool isAssertion) {
    return g_errorTrail.RecordEntry(expression, line, isAssertion);
}

void RecordAssertion(const char* expression, std::int32_t line, std::int32_t value) {
    g_errorTrail.RecordEntry(expression, line, true).SetValue(value);
}

void WriteErrorDump() {
    g_errorTrail.WriteErrorDump();
}
