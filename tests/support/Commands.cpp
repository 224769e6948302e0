#include "tests/support/Commands.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace testsupport {

std::string RunCommand(const std::string& command, int* exitCode) {
    std::string output;
    if (exitCode) *exitCode = -1;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    const int status = ::pclose(pipe);
    if (exitCode && status != -1 && WIFEXITED(status)) *exitCode = WEXITSTATUS(status);
    return output;
}

bool HaveProgram(const std::string& name) {
    return std::system(("command -v '" + name + "' > /dev/null 2>&1").c_str()) == 0;
}

}  // namespace testsupport
