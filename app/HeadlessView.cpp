#include "app/HeadlessView.h"

#include "app/IndexPage.h"
#include "settings/AppSettings.h"

void HeadlessView::SetConnectionUrl(const std::string& url, const std::string& invite) {
    PrintAddresses(url, invite, "");
}

void HeadlessView::SetIpv6Url(const std::string& url, const std::string& invite) {
    PrintAddresses(url, invite, " (IPv6)");
}

void HeadlessView::PrintAddresses(const std::string& url, const std::string& invite,
                                  const char* family) {
    if (url.empty()) return;
    if (httpPort_ != 0) {
        std::fprintf(out_, "Viewer page%s: %s%s\n", family,
                     ViewerPageAddress(url, httpPort_).c_str(), InviteQuery(invite).c_str());
    }
    std::fprintf(out_, "Stream%s: %s/MyFile.wma%s\n", family, url.c_str(),
                 InviteQuery(invite).c_str());
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
