// The system description at the head of the error dump.

#include <sys/utsname.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "diag/ErrorTrail.h"

namespace {

// One os-release value: optionally quoted with " or ', backslash escapes
// inside double quotes.
std::string UnquoteValue(const std::string& raw) {
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
        raw.back() == raw.front()) {
        const char quote = raw.front();
        std::string value;
        for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
            if (quote == '"' && raw[i] == '\\' && i + 2 < raw.size()) ++i;
            value += raw[i];
        }
        return value;
    }
    return raw;
}

bool ReadOsRelease(const char* path, std::map<std::string, std::string>& fields) {
    if (!path) return false;
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        fields[line.substr(0, equals)] = UnquoteValue(line.substr(equals + 1));
    }
    return true;
}

// Control characters would break the dump's line structure.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    return out;
}

}  // namespace

std::string DescribeOsVersion(const char* osReleasePath, const OsNames* kernel) {
    std::vector<std::string> pieces;
    std::map<std::string, std::string> fields;
    if (ReadOsRelease(osReleasePath, fields)) {
        const auto take = [&](std::initializer_list<const char*> keys) {
            for (const char* key : keys) {
                const auto found = fields.find(key);
                if (found != fields.end() && !found->second.empty()) {
                    pieces.push_back(Printable(found->second));
                    return;
                }
            }
        };
        take({"NAME", "ID"});
        take({"VERSION", "VERSION_ID"});
    }
    if (kernel) {
        for (const std::string* field : {&kernel->sysname, &kernel->release, &kernel->machine})
            if (!field->empty()) pieces.push_back(Printable(*field));
    }

    std::string text;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        text += pieces[i] + (i + 1 == pieces.size() ? "\n" : " ");
    return text;
}

void AppendOsVersion(std::FILE* file) {
    if (!file) return;
    OsNames kernel;
    struct utsname names {};
    const bool haveKernel = ::uname(&names) == 0;
    if (haveKernel) kernel = {names.sysname, names.release, names.machine};

    // os-release lives in /etc, with /usr/lib holding the vendor's copy.
    std::ifstream probe("/etc/os-release");
    const char* osRelease = probe ? "/etc/os-release" : "/usr/lib/os-release";
    const std::string text = DescribeOsVersion(osRelease, haveKernel ? &kernel : nullptr);
    std::fputs(text.c_str(), file);
}
