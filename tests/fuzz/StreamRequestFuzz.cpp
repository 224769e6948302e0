// The stream server's reading of a request head, on bytes as any client may
// send them. Whatever the bytes: a head once complete stays complete however
// more bytes follow (the server checks after every receive); a valid request
// is a method and an absolute path without a query, both as they stand in
// the request line; header names are read in any case, and bare line feeds
// read like CR LF; only a Windows Media marker makes a Windows Media client.

#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "wmvcore/StreamRequest.h"

namespace {

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Whether every CR is the start of a CR LF line end.
bool OnlyWholeLineEnds(const std::string& text) {
    for (std::size_t at = text.find('\r'); at != std::string::npos; at = text.find('\r', at + 1)) {
        if (at + 1 >= text.size() || text[at + 1] != '\n') return false;
    }
    return true;
}

// Every CR LF as a bare LF.
std::string BareLineFeeds(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

bool Same(const wmv::StreamRequest& a, const wmv::StreamRequest& b) {
    return a.valid == b.valid && a.method == b.method && a.path == b.path && a.kind == b.kind;
}

FUZZ_HARNESS void CheckRequest(const std::string& head, const wmv::StreamRequest& request) {
    if (!request.valid) {
        FUZZ_CHECK(request.kind == wmv::RequestKind::Plain);
        return;
    }
    FUZZ_CHECK(!request.path.empty() && request.path[0] == '/');
    FUZZ_CHECK(request.path.find('?') == std::string::npos);
    FUZZ_CHECK(request.path.find(' ') == std::string::npos);
    FUZZ_CHECK(request.method.find(' ') == std::string::npos);
    FUZZ_CHECK(request.method.find('\n') == std::string::npos);
    FUZZ_CHECK(request.path.find('\n') == std::string::npos);
    // Method and path stand in the request line as they came.
    FUZZ_CHECK(head.compare(0, request.method.size() + 1 + request.path.size(),
                            request.method + " " + request.path) == 0);
    if (request.kind != wmv::RequestKind::Plain) {
        const std::string lower = Lower(head);
        FUZZ_CHECK(lower.find("nsplayer") != std::string::npos ||
                   lower.find("nsserver") != std::string::npos ||
                   lower.find("xclientguid") != std::string::npos ||
                   lower.find("xplaystrm=1") != std::string::npos);
    }
    if (request.kind == wmv::RequestKind::Play)
        FUZZ_CHECK(Lower(head).find("xplaystrm=1") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // Completeness as the server sees it, receive by receive: the first
    // byte split off at a varying point.
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    const bool early = wmv::RequestHeadComplete(bytes.substr(0, split));
    const bool whole = wmv::RequestHeadComplete(bytes);
    if (early) FUZZ_CHECK(whole);
    // Line ends as bare line feeds end the head at the same line (a lone CR
    // is no line end, so the bytes that hold one say nothing here).
    const bool wellFormed = OnlyWholeLineEnds(bytes);
    if (wellFormed) FUZZ_CHECK(wmv::RequestHeadComplete(BareLineFeeds(bytes)) == whole);

    const wmv::StreamRequest request = wmv::ParseRequest(bytes);
    CheckRequest(bytes, request);

    // Header names and values in other cases read the same; the request
    // line keeps its case.
    const std::size_t lineEnd = bytes.find('\n');
    if (lineEnd != std::string::npos) {
        const std::string upper = bytes.substr(0, lineEnd) + Upper(bytes.substr(lineEnd));
        const wmv::StreamRequest again = wmv::ParseRequest(upper);
        FUZZ_CHECK(again.kind == request.kind && again.valid == request.valid &&
                   again.path == request.path && again.method == request.method);
    }
    // A head ended by bare line feeds reads like one ended by CR LF.
    if (wellFormed) FUZZ_CHECK(Same(wmv::ParseRequest(BareLineFeeds(bytes)), request));
    return 0;
}
