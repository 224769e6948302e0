#pragma once
// Opening an address (a web page, a mailto: link) in the user's own programs,
// through the desktop's URL opener (xdg-open). Like message boxes, what opens
// the address is a replaceable handler, so tests record instead of opening.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Hands url to the handler; the default starts xdg-open without waiting for
// it. False when nothing could be started (no xdg-open on the machine).
bool OpenUrl(const std::string& url);

using UrlOpenerHandler = std::function<bool(const std::string& url)>;

// Installs a handler and returns the previous one; an empty handler restores
// the default.
UrlOpenerHandler SetUrlOpener(UrlOpenerHandler handler);

// The default handler: xdg-open url, detached from this process.
bool OpenUrlWithDesktop(const std::string& url);

// Test double: while it lives, every address is recorded instead of opened.
class RecordingUrlOpener {
  public:
    RecordingUrlOpener();
    ~RecordingUrlOpener();
    RecordingUrlOpener(const RecordingUrlOpener&) = delete;
    RecordingUrlOpener& operator=(const RecordingUrlOpener&) = delete;

    std::vector<std::string> Urls() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
    UrlOpenerHandler previous_;
};
