#pragma once
// Programs that tests start and stop. Everything a child needs is made
// before the fork: a test process has threads, and the child may only exec.

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

struct SpawnOptions {
    std::string out = "/dev/null";  // standard output, appended to
    std::string errors;             // standard error; empty: where the output goes
    // "NAME=value" set in the program's environment (replacing one of the
    // same name); "NAME=" alone removes it.
    std::vector<std::string> variables;
    // In a process group of its own, so that it goes with all it starts.
    bool ownGroup = false;
    // Where the test runs as root, as the user nobody: some players refuse
    // to run as root, and people do not run them so.
    bool ordinaryUser = false;
};

// Starts a program (argv[0] found on the PATH); its pid, or -1.
pid_t SpawnWith(const std::vector<std::string>& argv, const SpawnOptions& options);
// The same with this process's environment plus variables, its output and
// errors appended to outputPath.
pid_t SpawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& variables,
                   const std::string& outputPath = "/dev/null");

// Stops a process started for a test: SIGTERM, then SIGKILL after a while.
void StopProcess(pid_t pid);
// Kills the process group of one started in a group of its own and reaps
// it; pid becomes -1.
void StopGroup(pid_t& pid);
// Whether the process has ended; it is reaped then, and pid becomes -1.
bool Ended(pid_t& pid);

// The user an ordinary-user program runs as (the test's own when it is not
// root), for the files it must be able to write.
uid_t OrdinaryUid();
gid_t OrdinaryGid();

}  // namespace testsupport
