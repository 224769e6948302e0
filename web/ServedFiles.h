#pragma once
// What the web server may hand out from its document root: single names and
// folders whose files may all go (the empty folder: the whole root). Any
// other request is answered as missing, whatever lies on disk, so that
// nothing the program writes for itself beside the pages can be fetched.

#include <string>
#include <string_view>
#include <vector>

struct ServedFiles {
    std::vector<std::string> names;    // relative to the root: "index.htm"
    std::vector<std::string> folders;  // "help": every file under help/

    // Whether path, as the request names it (a leading '/', perhaps doubled
    // slashes), is one of these.
    bool Serves(std::string_view path) const;
};
