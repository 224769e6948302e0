#include "web/TimeText.h"

#include <cstdio>

namespace web {

std::string FormatTimeText(const std::tm& time) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = (time.tm_wday >= 0 && time.tm_wday < 7) ? kDays[time.tm_wday] : "???";
    const char* month = (time.tm_mon >= 0 && time.tm_mon < 12) ? kMonths[time.tm_mon] : "???";
    char text[128];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d", day, time.tm_mday, month,
                  time.tm_year + 1900, time.tm_hour, time.tm_min, time.tm_sec);
    return text;
}

std::string HttpDate(std::time_t time) {
    std::tm broken{};
    gmtime_r(&time, &broken);
    return FormatTimeText(broken) + " GMT";
}

std::string HttpDateNow() {
    return HttpDate(std::time(nullptr));
}

std::string LocalTimestampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm broken{};
    localtime_r(&now, &broken);
    return FormatTimeText(broken);
}

}  // namespace web
