#pragma once
// Helpers shared by the fuzz targets: a scratch folder in memory where there
// is one, and a check that stops the run with the broken property named.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzzsupport {

// A fresh folder for the whole run, on /dev/shm when it can be used, so that
// writing and syncing files costs little. Removed when the process ends.
inline std::filesystem::path ScratchFolder(const char* name) {
    std::filesystem::path base = "/dev/shm";
    if (access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path();
    std::string pattern = (base / (std::string(name) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) std::abort();
    static std::filesystem::path folder;
    folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    return folder;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Stops the run: the input at hand breaks what must always hold.
[[noreturn]] inline void Broken(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzzsupport

// Leaves a harness function out of the coverage that guides the fuzzer: its
// checks walk every byte and would only slow the run down.
#if defined(__clang__)
#define FUZZ_HARNESS __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_HARNESS
#endif

#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : fuzzsupport::Broken(#condition, __FILE__, __LINE__))
