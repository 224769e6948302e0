#pragma once
// A temporary folder for one test, removed with everything in it afterwards.

#include <filesystem>
#include <string>

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

}  // namespace testsupport
