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

std::string ProgramFolder::ErrorDump() const {
    return ReadWholeFile(ReplaceLastThree(program_, "log"));
}

}  // namespace testsupport
