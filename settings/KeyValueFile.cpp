#include "settings/KeyValueFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

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

}  // namespace

KeyValueFile::KeyValueFile(std::vector<std::string> keys, ValueCheck check)
    : keys_(std::move(keys)),
      check_(std::move(check)),
      values_(keys_.size()),
      given_(keys_.size(), false) {}

std::size_t KeyValueFile::IndexOf(std::string_view key) const {
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) return i;
    }
    return keys_.size();
}

bool KeyValueFile::Parse(std::string_view text, std::string* error) {
    const auto damaged = [error](std::size_t lineNumber, const std::string& what) {
        if (error) *error = "line " + std::to_string(lineNumber) + ": " + what;
        return false;
    };
    if (text.size() > kMaxKeyValueFileBytes) {
        if (error) *error = "larger than " + std::to_string(kMaxKeyValueFileBytes) + " bytes";
        return false;
    }
    std::vector<std::string> lines;
    std::vector<std::string> values(keys_.size());
    std::vector<bool> given(keys_.size(), false);
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
            if (const std::size_t index = IndexOf(key); index < keys_.size()) {
                if (given[index]) return damaged(lineNumber, std::string(key) + "= given twice");
                given[index] = true;
                if (HasControlCharacter(value))
                    return damaged(lineNumber, std::string(key) + "= holds a control character");
                if (check_) {
                    if (const std::string problem = check_(key, value); !problem.empty())
                        return damaged(lineNumber, problem);
                }
                values[index] = value;
            }
        } else if (notKeyValue) {
            return damaged(lineNumber, "not a comment and not key=value");
        }
        lines.emplace_back(line);
    }
    lines_ = std::move(lines);
    values_ = std::move(values);
    given_ = std::move(given);
    return true;
}

const std::string& KeyValueFile::Value(std::string_view key) const {
    static const std::string none;
    const std::size_t index = IndexOf(key);
    return index < keys_.size() ? values_[index] : none;
}

bool KeyValueFile::Given(std::string_view key) const {
    const std::size_t index = IndexOf(key);
    return index < keys_.size() && given_[index];
}

void KeyValueFile::Set(std::string_view key, std::string value) {
    if (const std::size_t index = IndexOf(key); index < keys_.size())
        values_[index] = std::move(value);
}

std::string KeyValueFile::Text() const {
    std::string text;
    std::vector<bool> written(keys_.size(), false);
    for (const std::string& line : lines_) {
        std::string_view key, value;
        bool notKeyValue = false;
        const std::size_t index =
            SplitLine(line, &key, &value, &notKeyValue) ? IndexOf(key) : keys_.size();
        if (index < keys_.size()) {
            written[index] = true;
            text += keys_[index] + "=" + values_[index] + "\n";
        } else {
            text += line;
            text += '\n';
        }
    }
    for (std::size_t index = 0; index < keys_.size(); ++index) {
        if (!written[index]) text += keys_[index] + "=" + values_[index] + "\n";
    }
    return text;
}

KeyValueLoad LoadKeyValueFile(const std::string& path, const std::string& what, KeyValueFile* file,
                              std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return KeyValueLoad::kMissing;
        if (error) *error = "Cannot read " + path + ": " + std::strerror(errno);
        return KeyValueLoad::kUnreadable;
    }
    std::string text(kMaxKeyValueFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        if (error) *error = "Cannot read " + path;
        return KeyValueLoad::kUnreadable;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::string problem;
    KeyValueFile read = *file;
    if (!read.Parse(text, &problem)) {
        if (error) *error = what + " " + path + " is damaged (" + problem + ")";
        return KeyValueLoad::kDamaged;
    }
    *file = std::move(read);
    return KeyValueLoad::kLoaded;
}
