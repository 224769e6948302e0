#pragma once
// The live test stream (a moving picture and a tone) that lumastream serves
// on loopback, for the tests of the player windows and of the desktop
// program watching another broadcaster. The including test names the
// lumastream program in LUMASTREAM.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>

namespace testsupport {

// The stream served by the program's own writer on a loopback port the
// system picks, for as many seconds as asked; it ends with the object, or
// with the test process however that ends.
class TestStream {
  public:
    explicit TestStream(int seconds = 300) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        const std::string secondsText = std::to_string(seconds);
        const char* argv[] = {LUMASTREAM, "serve", "0", secondsText.c_str(), nullptr};
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // The stream goes with the test, however the test ends.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) _exit(1);
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(LUMASTREAM, const_cast<char**>(argv));
            _exit(127);
        }
        ::close(out[1]);
        // "serving http://127.0.0.1:PORT/MyFile.wma for N s"
        std::FILE* stream = ::fdopen(out[0], "r");
        char line[256] = {};
        if (stream && std::fgets(line, sizeof line, stream)) {
            std::cmatch match;
            if (std::regex_search(line, match, std::regex("127\\.0\\.0\\.1:([0-9]+)/")))
                port_ = std::stoi(match[1].str());
        }
        if (stream) std::fclose(stream);
    }
    ~TestStream() { End(); }

    int Port() const { return port_; }
    bool Ok() const { return pid_ > 0 && port_ > 0; }
    // The connection URL as a broadcaster's main window shows it.
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Ends the stream as a broadcaster that goes away.
    void End() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testsupport
