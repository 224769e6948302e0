#pragma once
// The process's limit of open files. Every connection of the web and stream
// servers takes a descriptor, and the usual soft limit of 1024 is far below
// what the system allows: the program raises it once at start.

#include <cstdint>

// Raises the soft limit of open files to the hard limit. Returns the soft
// limit now in force (UINT64_MAX for no limit), or 0 when it cannot be read.
std::uint64_t RaiseOpenFileLimit();
