#pragma once
// The content-type table of the web server: lower-case file extension without
// the dot to Content-Type. Extensions that are not keys go out as "text/html".

#include <map>
#include <string>

using MimeTypeTable = std::map<std::string, std::string>;

void FillMimeTypes(MimeTypeTable& table);

inline constexpr const char* kDefaultContentType = "text/html";
