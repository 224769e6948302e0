#pragma once
// A temporary program folder for one test: the program's path points into it
// (so the configuration, the error dump, caplib.txt and the viewers' page are
// written there), and the server log goes to a state folder inside it. The
// previous program path and state folder come back afterwards.

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/TempFolder.h"

namespace testsupport {

// Copies the staged program folder (LUMACAST_PROGRAM_DIR, as CTest sets it)
// to into/program for a test that runs the program itself, and points
// XDG_STATE_HOME at a state folder beside it; the copy's path, or an empty
// one when nothing is staged.
std::filesystem::path CopyStagedProgram(const std::filesystem::path& into);

class ProgramFolder {
  public:
    // prefix names the folder's test group in /tmp; program is the program's
    // file name in the folder.
    explicit ProgramFolder(const std::string& prefix = "lumaprogram",
                           const std::string& program = "lumasrv.bin");
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    const std::filesystem::path& Path() const { return folder_.Path(); }
    std::string operator/(const std::string& name) const { return folder_ / name; }
    // The program path as the tests set it.
    std::string ProgramFile() const { return program_; }
    // The error dump as the program last wrote it; empty when there is none.
    std::string ErrorDump() const;

  private:
    TempFolder folder_;
    std::string program_;
    std::optional<std::string> previousState_;
};

}  // namespace testsupport
