#include "tests/support/Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

constexpr uid_t kNobody = 65534;

}  // namespace

uid_t OrdinaryUid() {
    return ::geteuid() == 0 ? kNobody : ::geteuid();
}

gid_t OrdinaryGid() {
    return ::geteuid() == 0 ? kNobody : ::getegid();
}

pid_t SpawnWith(const std::vector<std::string>& argv, const SpawnOptions& options) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('=') + 1);
        bool replaced = false;
        for (const std::string& change : options.variables) {
            if (change.compare(0, name.size(), name) == 0) replaced = true;
        }
        if (!replaced) environment.push_back(variable);
    }
    for (const std::string& change : options.variables) {
        if (change.back() != '=') environment.push_back(change);
    }
    std::vector<char*> envp, args;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int output = ::open(options.out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int errors =
        options.errors.empty()
            ? output
            : ::open(options.errors.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const bool asNobody = options.ordinaryUser && ::geteuid() == 0;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (options.ownGroup) ::setpgid(0, 0);
        if (input >= 0) ::dup2(input, STDIN_FILENO);
        if (output >= 0) ::dup2(output, STDOUT_FILENO);
        if (errors >= 0) ::dup2(errors, STDERR_FILENO);
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(126);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (output >= 0) ::close(output);
    if (errors >= 0 && errors != output) ::close(errors);
    if (input >= 0) ::close(input);
    return pid;
}

pid_t SpawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& variables,
                   const std::string& outputPath) {
    SpawnOptions options;
    options.out = outputPath;
    options.variables = variables;
    return SpawnWith(argv, options);
}

void StopProcess(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

void StopGroup(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGCONT);
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

bool Ended(pid_t& pid) {
    if (pid <= 0) return true;
    if (::waitpid(pid, nullptr, WNOHANG) != pid) return false;
    pid = -1;
    return true;
}

}  // namespace testsupport
