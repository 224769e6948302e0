#pragma once
// The stream server's reading of a request head: the method, the path and
// whether the client speaks the Windows Media HTTP streaming protocol (and,
// if so, whether it asks for the header only or for the stream).

#include <string>

namespace wmv {

enum class RequestKind {
    Plain,     // a plain HTTP client: plain ASF
    Describe,  // a Windows Media client asking for the header
    Play,      // a Windows Media client asking for the stream
};

struct StreamRequest {
    bool valid = false;
    std::string method;
    std::string target;  // as asked, with its query
    std::string path;    // without a query
    std::string host;    // the Host line's value, lowered; "" without one
    RequestKind kind = RequestKind::Plain;
};

// True once the head is there: ended by an empty line, with CR LF or bare LF
// line ends, mixed as they come.
bool RequestHeadComplete(const std::string& received);

// Reads a request head. Header lines it does not understand are skipped:
// ffmpeg's client sends one malformed line. A request line without a method,
// an absolute path and an HTTP version is not valid.
StreamRequest ParseRequest(const std::string& head);

}  // namespace wmv
