#include "app/IndexPage.h"

#include <cstdio>

#include <unistd.h>

namespace {

constexpr const char* kPlayerPackage =
    "http://activex.microsoft.com/activex/controls/mplayer/en/nsmp2inf.cab#Version=6,4,7,1112";

}  // namespace

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
