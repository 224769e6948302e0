#include "wmvcore/StreamRequest.h"

#include <cctype>

namespace wmv {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool RequestHeadComplete(const std::string& received) {
    // An empty line, whether each line ends in CR LF or a bare LF.
    return received.find("\n\r\n") != std::string::npos ||
           received.find("\n\n") != std::string::npos;
}

StreamRequest ParseRequest(const std::string& head) {
    StreamRequest request;
    std::size_t end = head.find('\n');
    std::string line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos ||
        line.compare(sp2 + 1, 5, "HTTP/") != 0)
        return request;
    request.method = line.substr(0, sp1);
    if (line[sp1 + 1] != '/') return request;
    request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    request.path = request.target.substr(0, request.target.find('?'));
    request.valid = true;
    bool windowsMedia = false, play = false;
    while (end != std::string::npos) {
        const std::size_t next = head.find('\n', end + 1);
        const std::string header =
            Lower(head.substr(end + 1, next == std::string::npos ? next : next - end - 1));
        end = next;
        if (header.rfind("user-agent:", 0) == 0 && (header.find("nsplayer") != std::string::npos ||
                                                    header.find("nsserver") != std::string::npos))
            windowsMedia = true;
        if (header.rfind("host:", 0) == 0) {
            const std::size_t from = header.find_first_not_of(" \t", 5);
            const std::size_t to = header.find_last_not_of(" \t\r");
            if (from != std::string::npos && to >= from)
                request.host = header.substr(from, to - from + 1);
        }
        if (header.rfind("pragma:", 0) == 0) {
            if (header.find("xclientguid") != std::string::npos) windowsMedia = true;
            if (header.find("xplaystrm=1") != std::string::npos) play = windowsMedia = true;
        }
    }
    if (windowsMedia) request.kind = play ? RequestKind::Play : RequestKind::Describe;
    return request;
}

}  // namespace wmv
