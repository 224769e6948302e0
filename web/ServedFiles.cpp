#include "web/ServedFiles.h"

#include <algorithm>

namespace {

// The path without its leading slashes and with every run of slashes made
// one: the same file for the file system, one spelling for the set.
std::string Plain(std::string_view path) {
    std::string plain;
    for (const char c : path) {
        if (c == '/' && (plain.empty() || plain.back() == '/')) continue;
        plain += c;
    }
    return plain;
}

}  // namespace

bool ServedFiles::Serves(std::string_view path) const {
    const std::string plain = Plain(path);
    if (plain.empty() || plain.back() == '/') return false;
    if (std::find(names.begin(), names.end(), plain) != names.end()) return true;
    return std::any_of(folders.begin(), folders.end(), [&](const std::string& folder) {
        return folder.empty() ||
               (plain.size() > folder.size() + 1 && plain.compare(0, folder.size(), folder) == 0 &&
                plain[folder.size()] == '/');
    });
}
