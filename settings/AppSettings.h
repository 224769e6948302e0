#pragma once
// The settings record: every user choice of the program in one fixed 352-byte
// little-endian layout that the configuration file stores whole, byte for
// byte. Reserved fields and padding are never interpreted, only kept as loaded
// and saved back. The process holds one record, g_settings, read and written
// on the user-interface thread only; other threads get copies of what they
// need.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

static_assert(std::endian::native == std::endian::little,
              "the settings record is stored in memory order, which must be little-endian");

// Version written in front of the record; versions 0 to 2 share its layout.
constexpr std::uint32_t kConfigFileVersion = 2;

struct AppSettings {
    std::int32_t reserved0 = 1;
    std::int32_t videoCodecIndex = 0;       // in the codec list of the encoder
    std::int32_t videoBitrateKbps = 48;     // 1 to 1500
    std::int32_t videoFramesPerSecond = 5;  // 1 to 60; frame timer 1000 / fps ms
    std::int32_t videoQuality = 85;         // 1 to 100
    std::int32_t reserved20 = 1;
    std::int32_t audioCodecIndex = 0;   // in the codec list of the encoder
    std::int32_t audioFormatIndex = 0;  // in that codec's format list
    std::int32_t asfPort = 8080;        // stream port, 1 to 32767
    std::int32_t maxUsers = 3;          // viewers at once, 1 to 100
    // Web server port, 1 to 32768. A new configuration starts above 1023:
    // Linux keeps the ports below 1024 for the administrator, so port 80
    // would leave an ordinary user's viewers without their page. A file
    // that names 80 keeps it.
    std::int32_t httpPort = 8000;
    std::uint8_t reserved44[132] = {};
    std::int32_t reserved176 = 1;
    std::int32_t videoDeviceIndex = -1;  // -1: "No video"
    std::int32_t audioDeviceIndex = -1;  // -1: "No audio"
    std::int32_t reserved188 = 0;
    std::int32_t audioCaptureFormatIndex = 0;  // in the audio device's own formats
    std::int16_t meterScale = 32767;           // audio meter full scale, 100 to 32767
    std::uint8_t padding198[2] = {};
    std::int32_t mainWindowLeft = 100;
    std::int32_t mainWindowTop = 100;
    std::int32_t setupDialogLeft = 200;
    std::int32_t setupDialogTop = 200;
    std::int32_t reserved216 = 0;
    // One-byte booleans: any non-zero byte reads as true. They are bytes rather
    // than bool because a loaded file may hold any value in them.
    std::uint8_t captionDateTime = 1;  // 1: date and time; 0: captionText
    char captionText[128] = {};        // NUL-terminated, at most 127 characters
    std::uint8_t autoStartServer = 0;
    std::uint8_t minimizeToTray = 0;
    std::uint8_t padding351 = 0;
};

static_assert(std::is_standard_layout_v<AppSettings> && std::is_trivially_copyable_v<AppSettings>);
static_assert(sizeof(AppSettings) == 352);
static_assert(offsetof(AppSettings, videoCodecIndex) == 4);
static_assert(offsetof(AppSettings, videoBitrateKbps) == 8);
static_assert(offsetof(AppSettings, videoFramesPerSecond) == 12);
static_assert(offsetof(AppSettings, videoQuality) == 16);
static_assert(offsetof(AppSettings, reserved20) == 20);
static_assert(offsetof(AppSettings, audioCodecIndex) == 24);
static_assert(offsetof(AppSettings, audioFormatIndex) == 28);
static_assert(offsetof(AppSettings, asfPort) == 32);
static_assert(offsetof(AppSettings, maxUsers) == 36);
static_assert(offsetof(AppSettings, httpPort) == 40);
static_assert(offsetof(AppSettings, reserved44) == 44);
static_assert(offsetof(AppSettings, reserved176) == 176);
static_assert(offsetof(AppSettings, videoDeviceIndex) == 180);
static_assert(offsetof(AppSettings, audioDeviceIndex) == 184);
static_assert(offsetof(AppSettings, reserved188) == 188);
static_assert(offsetof(AppSettings, audioCaptureFormatIndex) == 192);
static_assert(offsetof(AppSettings, meterScale) == 196);
static_assert(offsetof(AppSettings, padding198) == 198);
static_assert(offsetof(AppSettings, mainWindowLeft) == 200);
static_assert(offsetof(AppSettings, mainWindowTop) == 204);
static_assert(offsetof(AppSettings, setupDialogLeft) == 208);
static_assert(offsetof(AppSettings, setupDialogTop) == 212);
static_assert(offsetof(AppSettings, reserved216) == 216);
static_assert(offsetof(AppSettings, captionDateTime) == 220);
static_assert(offsetof(AppSettings, captionText) == 221);
static_assert(offsetof(AppSettings, autoStartServer) == 349);
static_assert(offsetof(AppSettings, minimizeToTray) == 350);
static_assert(offsetof(AppSettings, padding351) == 351);

// The valid ranges of the numeric settings.
struct SettingRange {
    std::int32_t low;
    std::int32_t high;
};
constexpr SettingRange kVideoBitrateRange{1, 1500};
constexpr SettingRange kFramesPerSecondRange{1, 60};
constexpr SettingRange kVideoQualityRange{1, 100};
constexpr SettingRange kAsfPortRange{1, 32767};
constexpr SettingRange kMaxUsersRange{1, 100};
constexpr SettingRange kHttpPortRange{1, 32768};
constexpr SettingRange kMeterScaleRange{100, 32767};

// Puts the default back into every numeric setting outside its range and ends
// a captionText that lacks its terminator at 127 characters. Returns the
// number of settings it mended. Loading calls it; so may a dialog.
int RepairSettings(AppSettings& settings);

// Whether a stored list position can index a list of count entries. Every
// user of a device, codec or format index checks it with this first.
constexpr bool IndexInRange(std::int32_t index, std::size_t count) {
    return index >= 0 && static_cast<std::size_t>(index) < count;
}

// The process-wide record, with the defaults until LoadConfig runs.
extern AppSettings g_settings;

// Set when the Options or Server setup dialog ends with OK; cleared by a
// successful SaveConfig; read by the save prompt at exit.
extern bool configChanged;

// The program's own folder with its trailing '/': the home of the help pages
// and of the status pages the web server answers with. Filled by
// DetermineProgramDir at start-up.
extern std::string programDir;

// The folder of the user's own files, with its trailing '/': the settings,
// the error dump, the viewers' page index.htm, the capture log and the
// servers list. It is the web server's document root and the program's
// current directory. The program's folder itself, unless that folder cannot
// be written (an installed copy): then the user's own Lumacast folder (see
// UserFilesPath in diag/ProgramPath.h). Filled by DetermineProgramDir.
extern std::string filesDir;

// Sets programDir from the program file's path and filesDir beside it (see
// diag/ProgramPath.h), copies the status pages into filesDir when that is
// another folder, and returns programDir.
const std::string& DetermineProgramDir();

// The status pages of the web server, kept in the program's folder.
constexpr const char* kStatusPages[] = {"fnf.html", "mna.html"};
// The scripts the viewers' page loads from the web server: its player, and
// hls.js, which the player loads where it plays HLS through it.
constexpr const char* kPageScripts[] = {"player.js", "hls.min.js"};
