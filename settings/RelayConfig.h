#pragma once
// The relay's settings: where the broadcast is published (an rtmp:// or
// rtmps:// address holding the stream key), whether it is published, and
// the HLS address the viewers' page sends viewers to. They live in
// "relay.cfg" beside the configuration file, one key=value a line, so the
// settings record keeps its size. Lines the program does not know (comments,
// blank lines, other keys) are kept as they are when it rewrites the file.
// No Qt: the headless program, the dialog and the tests share it.

#include <string>
#include <string_view>

#include "settings/KeyValueFile.h"

constexpr char kRelayConfigFileName[] = "relay.cfg";

using RelayConfigLoad = KeyValueLoad;

// The values the program uses.
struct RelaySettings {
    std::string url;  // "" for none
    bool publish = false;
    std::string hls;  // "" for none
};

// The file's lines and the values read from them.
class RelayConfig {
  public:
    RelayConfig();

    // Reads the file's text. A line that is neither blank, nor a comment
    // ('#' first), nor key=value, a publish= other than 0 or 1, a known key
    // given twice, a control character in a value or a text beyond
    // kMaxRelayConfigBytes make the file damaged: false, with the line and
    // what is wrong in error, and nothing of it taken.
    bool Parse(std::string_view text, std::string* error);

    const RelaySettings& Settings() const { return settings_; }
    void SetSettings(const RelaySettings& settings) { settings_ = settings; }

    // The file's text: every line as read, the known keys' lines carrying
    // the current values, and known keys the file lacked added at its end.
    std::string Text() const;

  private:
    friend RelayConfigLoad LoadRelayConfig(const std::string&, RelayConfig*, std::string*);
    void TakeFile(KeyValueFile file);

    KeyValueFile file_;
    RelaySettings settings_;
};

constexpr std::size_t kMaxRelayConfigBytes = kMaxKeyValueFileBytes;

// "relay.cfg" in the folder of the configuration file; empty when that has
// no path.
std::string RelayConfigPath();

// Reads the file at path into config. Anything but kLoaded leaves config's
// defaults; error gets a message for the user naming the file.
RelayConfigLoad LoadRelayConfig(const std::string& path, RelayConfig* config, std::string* error);

// Replaces the file whole (written beside it, renamed over it). False, with
// the old file as it was, on failure.
bool SaveRelayConfig(const std::string& path, const RelayConfig& config);

// What is wrong with a relay address, for the user; "" when it can be
// published to: rtmp:// or rtmps://, a host, an optional port 1 to 65535,
// an application and a stream key, no blanks or control characters.
std::string RelayUrlProblem(std::string_view url);

// The address as it may be shown or logged: the stream key (everything
// after the application) and any user name or password become "****".
std::string MaskRelayUrl(std::string_view url);
