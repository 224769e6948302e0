#include "settings/RelayConfig.h"

#include "diag/ProgramPath.h"
#include "settings/ConfigFile.h"
#include "settings/FileReplace.h"

namespace {

constexpr std::string_view kUrlKey = "url";
constexpr std::string_view kPublishKey = "publish";
constexpr std::string_view kHlsKey = "hls";
constexpr std::string_view kMask = "****";

struct UrlParts {
    std::string_view scheme;    // "rtmp://" or "rtmps://", as written
    std::string_view userInfo;  // with its '@', or empty
    std::string_view hostPort;  // host[:port]
    std::string_view app;       // the first path segment
    std::string_view key;       // everything after the application's '/'
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// The parts of an address; false when it has no rtmp:// or rtmps:// in front.
bool SplitUrl(std::string_view url, UrlParts* parts) {
    if (StartsWithNoCase(url, "rtmps://"))
        parts->scheme = url.substr(0, 8);
    else if (StartsWithNoCase(url, "rtmp://"))
        parts->scheme = url.substr(0, 7);
    else
        return false;
    std::string_view rest = url.substr(parts->scheme.size());
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        parts->userInfo = authority.substr(0, at + 1);
        authority.remove_prefix(at + 1);
    }
    parts->hostPort = authority;
    const std::size_t appEnd = rest.find('/');
    parts->app = rest.substr(0, appEnd);
    parts->key = appEnd == std::string_view::npos ? std::string_view() : rest.substr(appEnd + 1);
    return true;
}

}  // namespace

namespace {

KeyValueFile RelayKeys() {
    return KeyValueFile({std::string(kUrlKey), std::string(kPublishKey), std::string(kHlsKey)},
                        [](std::string_view key, std::string_view value) {
                            if (key == kPublishKey && value != "0" && value != "1")
                                return std::string("publish= must be 0 or 1");
                            return std::string();
                        });
}

}  // namespace

RelayConfig::RelayConfig() : file_(RelayKeys()) {}

bool RelayConfig::Parse(std::string_view text, std::string* error) {
    KeyValueFile file = RelayKeys();
    if (!file.Parse(text, error)) return false;
    TakeFile(std::move(file));
    return true;
}

void RelayConfig::TakeFile(KeyValueFile file) {
    file_ = std::move(file);
    settings_.url = file_.Value(kUrlKey);
    settings_.publish = file_.Value(kPublishKey) == "1";
    settings_.hls = file_.Value(kHlsKey);
}

std::string RelayConfig::Text() const {
    KeyValueFile file = file_;
    file.Set(kUrlKey, settings_.url);
    file.Set(kPublishKey, settings_.publish ? "1" : "0");
    file.Set(kHlsKey, settings_.hls);
    return file.Text();
}

std::string RelayConfigPath() {
    const std::string config = ConfigFilePath();
    if (config.empty()) return std::string();
    return FolderOf(config) + kRelayConfigFileName;
}

RelayConfigLoad LoadRelayConfig(const std::string& path, RelayConfig* config, std::string* error) {
    *config = RelayConfig();
    KeyValueFile file = RelayKeys();
    const KeyValueLoad load = LoadKeyValueFile(path, "The relay settings file", &file, error);
    if (load == KeyValueLoad::kLoaded) config->TakeFile(std::move(file));
    return load;
}

bool SaveRelayConfig(const std::string& path, const RelayConfig& config) {
    const std::string text = config.Text();
    return ReplaceFile(path, text.data(), text.size());
}

std::string RelayUrlProblem(std::string_view url) {
    if (url.empty()) return "no relay address";
    UrlParts parts;
    if (!SplitUrl(url, &parts)) return "the relay address must begin with rtmp:// or rtmps://";
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
            return "the relay address holds a blank or a control character";
    }
    std::string_view host = parts.hostPort;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return "the relay address has an unclosed [ in its host";
        port = host.substr(close + 1);
        host = host.substr(0, close + 1);
        if (!port.empty() && port.front() != ':') return "the relay address has a malformed host";
        if (!port.empty()) port.remove_prefix(1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
        if (port.empty()) return "the relay address has an empty port";
    }
    if (host.empty() || host == "[]") return "the relay address has no host";
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
            return "the relay address's port is not a number";
        const int number = std::stoi(std::string(port));
        if (number < 1 || number > 65535) return "the relay address's port is not 1 to 65535";
    }
    if (parts.app.empty()) return "the relay address names no application";
    if (parts.key.empty()) return "the relay address has no stream key";
    return std::string();
}

std::string MaskRelayUrl(std::string_view url) {
    UrlParts parts;
    if (!SplitUrl(url, &parts)) {
        // Not an address we can take apart: nothing of it may be the key's.
        return url.empty() ? std::string() : std::string(kMask);
    }
    // Whatever may carry a secret goes: the user and password, every value
    // of a query (some services take the key as ?key=), and everything after
    // the application.
    std::string masked(parts.scheme);
    if (!parts.userInfo.empty()) masked += std::string(kMask) + "@";
    masked += parts.hostPort;
    masked += '/';
    const std::size_t query = parts.app.find('?');
    masked += parts.app.substr(0, query);
    if (query != std::string_view::npos) {
        std::string_view rest = parts.app.substr(query + 1);
        char separator = '?';
        for (;;) {
            const std::size_t amp = rest.find('&');
            const std::string_view pair = rest.substr(0, amp);
            const std::size_t equals = pair.find('=');
            masked += separator;
            if (equals != std::string_view::npos) masked += pair.substr(0, equals + 1);
            masked += kMask;
            if (amp == std::string_view::npos) break;
            rest.remove_prefix(amp + 1);
            separator = '&';
        }
    }
    const bool afterApplication =
        !parts.key.empty() || url.size() > parts.scheme.size() + parts.userInfo.size() +
                                               parts.hostPort.size() + 1 + parts.app.size();
    if (afterApplication) masked += "/" + std::string(kMask);
    return masked;
}
