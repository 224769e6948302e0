#pragma once
// A temporary folder for one test, removed with everything in it afterwards,
// and the files of a test: whole files read and written, the names in a
// folder, and a disk that fills up.

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class TempFolder {
  public:
    // prefix names the folder's test group in /tmp ("lumaui-XXXXXX").
    explicit TempFolder(const std::string& prefix = "lumacast");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// The whole file as bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes);

// The names of the entries of a folder, in the order the system lists them.
std::vector<std::string> FolderNames(const std::filesystem::path& folder);

// While it lives, writes of this process stop after bytes bytes per file,
// as on a full disk (the write fails instead of raising SIGXFSZ).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool Ok() const { return ok_; }

  private:
    rlimit saved_{};
    void (*savedHandler_)(int) = SIG_DFL;
    bool ok_ = false;
};

}  // namespace testsupport
