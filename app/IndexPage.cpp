#include "app/IndexPage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "settings/AppSettings.h"

namespace {

constexpr const char* kPlayerPackage =
    "http://activex.microsoft.com/activex/controls/mplayer/en/nsmp2inf.cab#Version=6,4,7,1112";

// Browsers without the player plug-in show the OBJECT's content: a state
// line, an unmute button and a video element that plays the WebM rendition;
// the EMBED that follows is the video element's own fallback. Where scripts
// run, the script moves the player out in front of the OBJECT and hides
// the OBJECT. A client with the plug-in ignores all of it. Nothing is loaded
// from anywhere but the page's own server and the stream server.
constexpr const char* kBrowserPlayerHead =
    "<div id=\"lumalive\" style=\"margin:6px;font:15px sans-serif\"><span id=\"lumastate\">"
    "</span> <button id=\"lumaunmute\" type=\"button\" style=\"display:none\">Unmute</button>"
    "</div>\r\n";

// Right after the video element's opening tag, before the element could
// begin to fetch its source: the source is put aside for the player's script
// (player.js, from the web server beside the page, asked for with the
// page's invite), which decides where the pictures come from; where that
// script cannot be had, the element plays the source itself. Written with
// LF; the page gets CR LF.
constexpr const char* kSourceAside = R"js(<script>
(function () {
  var video = document.getElementById("lumavideo");
  if (!video || !video.play) return;
  video.setAttribute("data-luma-src", video.getAttribute("src"));
  video.removeAttribute("src");
})();
</script>)js";
constexpr const char* kPlayerFallback =
    "var v = document.getElementById('lumavideo'); "
    "if (v && v.play) v.src = v.getAttribute('data-luma-src');";

// Characters that would end an attribute value or start markup.
std::string EscapeAttribute(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string WithCrLf(const char* text) {
    std::string out;
    for (; *text; ++text) {
        if (*text == '\n') out += '\r';
        out += *text;
    }
    return out;
}

}  // namespace

std::string InviteQuery(const std::string& invite) {
    return invite.empty() ? std::string() : "?invite=" + invite;
}

std::string ViewerPageAddress(const std::string& streamUrl, int httpPort) {
    const std::string scheme = streamUrl.rfind("https://", 0) == 0 ? "https://" : "http://";
    std::string host = "127.0.0.1";
    if (streamUrl.rfind(scheme, 0) == 0) {
        // An IPv6 host is in brackets, colons and all.
        const std::size_t close =
            streamUrl[scheme.size()] == '[' ? streamUrl.find(']') : scheme.size();
        const std::size_t colon =
            streamUrl.find(':', close == std::string::npos ? scheme.size() : close);
        host = streamUrl.substr(
            scheme.size(), colon == std::string::npos ? std::string::npos : colon - scheme.size());
    }
    return scheme + host + ":" + std::to_string(httpPort) + "/";
}

std::string BrowserPlayerText(const std::string& streamUrl, const std::string& hlsUrl,
                              const std::string& invite) {
    std::string text = kBrowserPlayerHead;
    text += "<video id=\"lumavideo\" src=\"" +
            EscapeAttribute(streamUrl + "/live.webm" + InviteQuery(invite)) + "\"";
    if (!hlsUrl.empty()) text += " data-hls=\"" + EscapeAttribute(hlsUrl) + "\"";
    text += " crossorigin=\"anonymous\" autoplay muted playsinline controls>";
    text += WithCrLf(kSourceAside);
    text += "<script src=\"" + EscapeAttribute("player.js" + InviteQuery(invite)) +
            "\" onerror=\"" + kPlayerFallback + "\"></script>\r\n";
    return text;
}
std::string IndexPageText(const std::string& streamUrl, const std::string& hlsUrl,
                          const std::string& invite) {
    const std::string stream = streamUrl + "/MyFile.wma" + InviteQuery(invite);
    std::string page;
    page += "<HTML><HEAD><TITLE>Lumacast</TITLE></HEAD><BODY><center><h1>My Webcam Page</h1><hr>";
    page +=
        "<OBJECT ID=\"MediaPlayer\" CLASSID=\"CLSID:22D6f312-B0F6-11D0-94AB-0080C74C7E95\" "
        "STANDBY=\"Loading Windows Media Player components...\"";
    page += "TYPE=\"application/x-oleobject\" CODEBASE= \"";
    page += kPlayerPackage;
    page += "\">";
    page += "<PARAM name=\"autoStart\" value=\"True\">\r\n";
    page += "<PARAM name=\"filename\" value=\"" + stream + "\">";
    // The video element stays open: the OBJECT's end tag closes it, so the
    // EMBED is its fallback.
    page += BrowserPlayerText(streamUrl, hlsUrl, invite);
    page += "<EMBED TYPE=\"application/x-mplayer2\"";
    page += "SRC=\"" + stream + "\" NAME=\"MediaPlayer\">\r\n";
    page += "</EMBED></OBJECT></center></BODY></HTML>";
    return page;
}

bool WriteIndexPage(const std::string& path, const std::string& streamUrl,
                    const std::string& hlsUrl, const std::string& invite) {
    const std::string page = IndexPageText(streamUrl, hlsUrl, invite);
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());  // a stale one keeps its own mode
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
        if (fd >= 0) close(fd);
        return false;
    }
    const bool written = std::fwrite(page.data(), 1, page.size(), file) == page.size();
    if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

ServedFiles ViewerFiles() {
    ServedFiles files{{"index.htm"}, {"help"}};
    for (const char* page : kStatusPages) files.names.emplace_back(page);
    for (const char* script : kPageScripts) files.names.emplace_back(script);
    return files;
}
