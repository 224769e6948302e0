#include "tests/support/ProgramFolder.h"

#include <cstdlib>

#include "diag/ProgramPath.h"

namespace testsupport {

ProgramFolder::ProgramFolder(const std::string& prefix, const std::string& program)
    : folder_(prefix), program_(folder_ / program) {
    std::filesystem::create_directories(folder_.Path() / "state");
    if (const char* state = std::getenv("XDG_STATE_HOME")) previousState_ = state;
    ::setenv("XDG_STATE_HOME", (folder_.Path() / "state").c_str(), 1);
    SetProgramPath(program_);
}

ProgramFolder::~ProgramFolder() {
    SetProgramPath("");
    if (previousState_) {
        ::setenv("XDG_STATE_HOME", previousState_->c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
}

std::filesystem::path CopyStagedProgram(const std::filesystem::path& into) {
    namespace fs = std::filesystem;
    const char* staged = std::getenv("LUMACAST_PROGRAM_DIR");
    if (!staged || !fs::exists(fs::path(staged) / "lumasrv.bin")) return {};
    fs::copy(staged, into / "program",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    // A run of the staged program (scripts/run) leaves its access rule there.
    fs::remove(into / "program" / "access.cfg");
    fs::create_directories(into / "state");
    ::setenv("XDG_STATE_HOME", (into / "state").c_str(), 1);
    return into / "program";
}

std::string ProgramFolder::ErrorDump() const {
    return ReadWholeFile(ReplaceLastThree(program_, "log"));
}

}  // namespace testsupport
