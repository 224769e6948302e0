#include "app/IndexPage.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr const char* kPlayerPackage =
    "http://activex.microsoft.com/activex/controls/mplayer/en/nsmp2inf.cab#Version=6,4,7,1112";

// Browsers without the player plug-in show the OBJECT's content: a state
// line, an unmute button and a video element that plays the WebM rendition;
// the EMBED that follows is the video element's own fallback. A client with
// the plug-in ignores all of it. The script keeps playback near the live
// edge, starts again after a failure and says when the broadcast is not
// running. Nothing is loaded from anywhere but the stream server.
constexpr const char* kBrowserPlayerHead =
    "<div id=\"lumalive\" style=\"margin:6px;font:15px sans-serif\"><span id=\"lumastate\">"
    "</span> <button id=\"lumaunmute\" type=\"button\" style=\"display:none\">Unmute</button>"
    "</div>\r\n<script>\r\n"
    "document.addEventListener(\"DOMContentLoaded\", function () {\r\n"
    "  var video = document.getElementById(\"lumavideo\");\r\n"
    "  var state = document.getElementById(\"lumastate\");\r\n"
    "  var unmute = document.getElementById(\"lumaunmute\");\r\n"
    "  if (!video || !video.play) return;\r\n"
    "  var source = video.getAttribute(\"src\");\r\n"
    "  var retry = null, lastTime = -1, still = 0;\r\n"
    "  function say(text) { state.textContent = text; }\r\n"
    "  function showUnmute() { unmute.style.display = video.muted ? \"inline\" : \"none\"; }\r\n"
    "  function restart(delay) {\r\n"
    "    if (retry) return;\r\n"
    "    retry = setTimeout(function () {\r\n"
    "      retry = null; still = 0; lastTime = -1;\r\n"
    "      video.src = source + (source.indexOf(\"?\") < 0 ? \"?\" : \"&\") + \"t=\" + "
    "Date.now();\r\n"
    "      video.play().catch(function () {});\r\n"
    "    }, delay);\r\n"
    "  }\r\n"
    "  function failed() {\r\n"
    "    // While the broadcast runs its server answers HEAD: then every place is taken.\r\n"
    "    fetch(source, { method: \"HEAD\", cache: \"no-store\" }).then(function (reply) {\r\n"
    "      say(reply.ok ? \"All places for viewers are taken; trying again...\"\r\n"
    "                   : \"The broadcast is not running.\");\r\n"
    "    }, function () { say(\"The broadcast is not running.\"); });\r\n"
    "    restart(2000);\r\n"
    "  }\r\n"
    "  video.addEventListener(\"playing\", function () { say(\"Live\"); });\r\n"
    "  video.addEventListener(\"error\", failed);\r\n"
    "  video.addEventListener(\"ended\", failed);\r\n"
    "  video.addEventListener(\"volumechange\", showUnmute);\r\n"
    "  unmute.addEventListener(\"click\", function () {\r\n"
    "    video.muted = false;\r\n"
    "    video.play().catch(function () {});\r\n"
    "  });\r\n"
    "  setInterval(function () {\r\n"
    "    if (video.paused || video.readyState < 2) return;\r\n"
    "    // Stay near the live edge: what piles up ahead is played a little\r\n"
    "    // faster (a jump costs a live stream a long pause), a large backlog\r\n"
    "    // is skipped.\r\n"
    "    var buffered = video.buffered;\r\n"
    "    if (buffered.length) {\r\n"
    "      var end = buffered.end(buffered.length - 1), ahead = end - video.currentTime;\r\n"
    "      if (ahead > 3) video.currentTime = end - 0.2;\r\n"
    "      else if (ahead > 0.8) video.playbackRate = 1.25;\r\n"
    "      else if (ahead > 0.35) video.playbackRate = 1.1;\r\n"
    "      else if (ahead < 0.2) video.playbackRate = 1;\r\n"
    "    }\r\n"
    "    // A stream that no longer moves is started again.\r\n"
    "    if (video.currentTime === lastTime) {\r\n"
    "      if (++still >= 20) { say(\"The broadcast is not running.\"); restart(0); }\r\n"
    "    } else {\r\n"
    "      still = 0;\r\n"
    "    }\r\n"
    "    lastTime = video.currentTime;\r\n"
    "  }, 250);\r\n"
    "  showUnmute();\r\n"
    "  video.play().catch(function () {});\r\n"
    "});\r\n"
    "</script>\r\n";

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

}  // namespace

std::string BrowserPlayerText(const std::string& streamUrl) {
    std::string text = kBrowserPlayerHead;
    text += "<video id=\"lumavideo\" src=\"" + EscapeAttribute(streamUrl) +
            "/live.webm\" crossorigin=\"anonymous\" autoplay muted playsinline controls>";
    return text;
}

std::string IndexPageText(const std::string& streamUrl) {
    std::string page;
    page += "<HTML><HEAD><TITLE>Lumacast</TITLE></HEAD><BODY><center><h1>My Webcam Page</h1><hr>";
    page +=
        "<OBJECT ID=\"MediaPlayer\" CLASSID=\"CLSID:22D6f312-B0F6-11D0-94AB-0080C74C7E95\" "
        "STANDBY=\"Loading Windows Media Player components...\"";
    page += "TYPE=\"application/x-oleobject\" CODEBASE= \"";
    page += kPlayerPackage;
    page += "\">";
    page += "<PARAM name=\"autoStart\" value=\"True\">\r\n";
    page += "<PARAM name=\"filename\" value=\"" + streamUrl + "/MyFile.wma\">";
    // The video element stays open: the OBJECT's end tag closes it, so the
    // EMBED is its fallback.
    page += BrowserPlayerText(streamUrl);
    page += "<EMBED TYPE=\"application/x-mplayer2\"";
    page += "SRC=\"" + streamUrl + "/MyFile.wma\" NAME=\"MediaPlayer\">\r\n";
    page += "</EMBED></OBJECT></center></BODY></HTML>";
    return page;
}

bool WriteIndexPage(const std::string& path, const std::string& streamUrl) {
    const std::string page = IndexPageText(streamUrl);
    const std::string temporary = path + ".new";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(page.data(), 1, page.size(), file) == page.size();
    if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
