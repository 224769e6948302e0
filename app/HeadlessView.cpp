#include "app/HeadlessView.h"

#include "settings/AppSettings.h"

void HeadlessView::SetConnectionUrl(const std::string& url) {
    if (url.empty()) return;
    if (httpPort_ != 0) {
        std::fprintf(out_, "Viewer page: %s\n", ViewerPageAddress(url, httpPort_).c_str());
    }
    std::fprintf(out_, "Stream: %s/MyFile.wma\n", url.c_str());
    std::fflush(out_);
}

void HeadlessView::SetUserCount(const std::string& count) {
    if (count == userCount_) return;
    userCount_ = count;
    std::fprintf(errors_, "Viewers: %s\n", count.c_str());
    std::fflush(errors_);
}

void HeadlessView::ShowDeviceNotice(const std::string& text) {
    std::fprintf(errors_, "lumasrv: %s\n", text.c_str());
    std::fflush(errors_);
}

void HeadlessView::SetRelayState(const std::string& line, bool newState) {
    // A program that never publishes says nothing of a relay.
    if (!newState || (line == "off" && !relayLogged_)) return;
    relayLogged_ = true;
    if (relayAddress_.empty())
        std::fprintf(errors_, "lumasrv: relay: %s\n", line.c_str());
    else
        std::fprintf(errors_, "lumasrv: relay %s: %s\n", relayAddress_.c_str(), line.c_str());
    std::fflush(errors_);
}

int HeadlessView::MeterScalePosition() {
    return g_settings.meterScale;
}

std::string HeadlessView::ViewerPageAddress(const std::string& streamUrl, int httpPort) {
    const std::string scheme = "http://";
    std::string host = "127.0.0.1";
    if (streamUrl.rfind(scheme, 0) == 0) {
        const std::size_t colon = streamUrl.find(':', scheme.size());
        host = streamUrl.substr(
            scheme.size(), colon == std::string::npos ? std::string::npos : colon - scheme.size());
    }
    return scheme + host + ":" + std::to_string(httpPort) + "/";
}
