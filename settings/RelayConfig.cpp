#include "settings/RelayConfig.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "diag/ProgramPath.h"
#include "settings/ConfigFile.h"
#include "settings/FileReplace.h"

namespace {

constexpr std::string_view kUrlKey = "url";
constexpr std::string_view kPublishKey = "publish";
constexpr std::string_view kHlsKey = "hls";
constexpr std::string_view kMask = "****";

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool HasControlCharacter(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    }
    return false;
}

bool IsKnownKey(std::string_view key) {
    return key == kUrlKey || key == kPublishKey || key == kHlsKey;
}

// Splits a line into its key and value; false for a line that holds none
// (blank or comment) or is not key=value (then damaged is set).
bool SplitLine(std::string_view line, std::string_view* key, std::string_view* value,
               bool* damaged) {
    *damaged = false;
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') return false;
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos || Trim(trimmed.substr(0, equals)).empty()) {
        *damaged = true;
        return false;
    }
    *key = Trim(trimmed.substr(0, equals));
    *value = Trim(trimmed.substr(equals + 1));
    return true;
}

std::string ValueOf(std::string_view key, const RelaySettings& settings) {
    if (key == kUrlKey) return settings.url;
    if (key == kPublishKey) return settings.publish ? "1" : "0";
    return settings.hls;
}

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

bool RelayConfig::Parse(std::string_view text, std::string* error) {
    const auto damaged = [error](std::size_t lineNumber, const std::string& what) {
        if (error) *error = "line " + std::to_string(lineNumber) + ": " + what;
        return false;
    };
    if (text.size() > kMaxRelayConfigBytes) {
        if (error) *error = "larger than " + std::to_string(kMaxRelayConfigBytes) + " bytes";
        return false;
    }
    std::vector<std::string> lines;
    RelaySettings settings;
    bool seen[3] = {false, false, false};
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.find('\0') != std::string_view::npos)
            return damaged(lineNumber, "holds a NUL byte");

        std::string_view key, value;
        bool notKeyValue = false;
        if (SplitLine(line, &key, &value, &notKeyValue)) {
            if (IsKnownKey(key)) {
                const int index = key == kUrlKey ? 0 : key == kPublishKey ? 1 : 2;
                if (seen[index]) return damaged(lineNumber, std::string(key) + "= given twice");
                seen[index] = true;
                if (HasControlCharacter(value))
                    return damaged(lineNumber, std::string(key) + "= holds a control character");
                if (key == kUrlKey) {
                    settings.url = value;
                } else if (key == kHlsKey) {
                    settings.hls = value;
                } else if (value == "0" || value == "1") {
                    settings.publish = value == "1";
                } else {
                    return damaged(lineNumber, "publish= must be 0 or 1");
                }
            }
        } else if (notKeyValue) {
            return damaged(lineNumber, "not a comment and not key=value");
        }
        lines.emplace_back(line);
    }
    lines_ = std::move(lines);
    settings_ = std::move(settings);
    return true;
}

std::string RelayConfig::Text() const {
    std::string text;
    bool written[3] = {false, false, false};
    for (const std::string& line : lines_) {
        std::string_view key, value;
        bool notKeyValue = false;
        if (SplitLine(line, &key, &value, &notKeyValue) && IsKnownKey(key)) {
            const int index = key == kUrlKey ? 0 : key == kPublishKey ? 1 : 2;
            written[index] = true;
            text += std::string(key) + "=" + ValueOf(key, settings_) + "\n";
        } else {
            text += line;
            text += '\n';
        }
    }
    const std::string_view keys[3] = {kUrlKey, kPublishKey, kHlsKey};
    for (int index = 0; index < 3; ++index) {
        if (!written[index])
            text += std::string(keys[index]) + "=" + ValueOf(keys[index], settings_) + "\n";
    }
    return text;
}

std::string RelayConfigPath() {
    const std::string config = ConfigFilePath();
    if (config.empty()) return std::string();
    return FolderOf(config) + kRelayConfigFileName;
}

RelayConfigLoad LoadRelayConfig(const std::string& path, RelayConfig* config, std::string* error) {
    *config = RelayConfig();
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (errno == ENOENT) return RelayConfigLoad::kMissing;
        if (error) *error = "Cannot read " + path + ": " + std::strerror(errno);
        return RelayConfigLoad::kUnreadable;
    }
    std::string text(kMaxRelayConfigBytes + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad()) {
        if (error) *error = "Cannot read " + path;
        return RelayConfigLoad::kUnreadable;
    }
    text.resize(static_cast<std::size_t>(file.gcount()));
    std::string what;
    RelayConfig read;
    if (!read.Parse(text, &what)) {
        if (error) *error = "The relay settings file " + path + " is damaged (" + what + ")";
        return RelayConfigLoad::kDamaged;
    }
    *config = std::move(read);
    return RelayConfigLoad::kLoaded;
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
