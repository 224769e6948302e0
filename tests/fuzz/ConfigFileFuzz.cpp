// The configuration loader on any file a user, a disk or an older or newer
// release may leave beside the program. Whatever the bytes, the settings
// that come out are the file's leading fields over the defaults with every
// value back in its range, a newer version is warned about once, and what is
// saved from them loads back unchanged.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "diag/ProgramPath.h"
#include "platform/MessageBox.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"

namespace {

std::unique_ptr<RecordingMessageBoxes> g_boxes;
std::string g_configPath;

bool Same(const AppSettings& a, const AppSettings& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const auto folder = fuzzsupport::ScratchFolder("lumacast-fuzz-config");
    SetProgramPath((folder / "lumasrv.bin").string());
    g_configPath = ConfigFilePath();
    g_boxes = std::make_unique<RecordingMessageBoxes>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(g_configPath.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);
    g_boxes->Clear();
    g_settings = AppSettings{};

    LoadConfig();

    // The leading fields of the file over the defaults, repaired.
    AppSettings expected;
    std::uint32_t version = 0;
    if (size >= 4) {
        std::memcpy(&version, data, 4);
        std::memcpy(&expected, data + 4, std::min<std::size_t>(size - 4, sizeof expected));
        RepairSettings(expected);
    }
    FUZZ_CHECK(Same(g_settings, expected));
    AppSettings again = g_settings;
    FUZZ_CHECK(RepairSettings(again) == 0);
    FUZZ_CHECK(g_settings.videoFramesPerSecond >= 1);
    FUZZ_CHECK(std::memchr(g_settings.captionText, '\0', sizeof g_settings.captionText));
    FUZZ_CHECK(g_boxes->Count() == (size >= 4 && version > kConfigFileVersion ? 1u : 0u));

    // What is saved loads back as it was.
    FUZZ_CHECK(SaveConfig());
    FUZZ_CHECK(std::filesystem::file_size(g_configPath) == 4 + sizeof(AppSettings));
    const AppSettings saved = g_settings;
    g_settings = AppSettings{};
    g_boxes->Clear();
    LoadConfig();
    FUZZ_CHECK(Same(g_settings, saved));
    FUZZ_CHECK(g_boxes->Count() == 0);
    return 0;
}
