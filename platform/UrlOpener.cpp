#include "platform/UrlOpener.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <utility>

namespace {

std::mutex g_openerMutex;
UrlOpenerHandler g_opener;  // empty: OpenUrlWithDesktop

bool InPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace

bool OpenUrl(const std::string& url) {
    UrlOpenerHandler handler;
    {
        std::lock_guard lock(g_openerMutex);
        handler = g_opener;
    }
    return handler ? handler(url) : OpenUrlWithDesktop(url);
}

UrlOpenerHandler SetUrlOpener(UrlOpenerHandler handler) {
    std::lock_guard lock(g_openerMutex);
    return std::exchange(g_opener, std::move(handler));
}

bool OpenUrlWithDesktop(const std::string& url) {
    if (url.empty() || !InPath("xdg-open")) return false;
    // Started from a grandchild that nobody waits for, so the opener neither
    // blocks the caller nor stays behind as a zombie; the child is reaped here.
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        if (::fork() == 0) {
            ::execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

RecordingUrlOpener::RecordingUrlOpener()
    : previous_(SetUrlOpener([this](const std::string& url) {
          std::lock_guard lock(mutex_);
          urls_.push_back(url);
          return true;
      })) {}

RecordingUrlOpener::~RecordingUrlOpener() {
    SetUrlOpener(std::move(previous_));
}

std::vector<std::string> RecordingUrlOpener::Urls() const {
    std::lock_guard lock(mutex_);
    return urls_;
}
