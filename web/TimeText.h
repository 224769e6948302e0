#pragma once
// Dates as the web server writes them, "%a, %d %b %Y %H:%M:%S" in the C locale
// whatever locale the program runs in, without strftime's locale lookups.

#include <ctime>
#include <string>

namespace web {

std::string FormatTimeText(const std::tm& time);

// The Date header value of an instant: its UTC time followed by " GMT".
std::string HttpDate(std::time_t time);
// The same of the current time.
std::string HttpDateNow();

// The log's timestamp: the current local time.
std::string LocalTimestampNow();

}  // namespace web
