#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "diag/ProgramPath.h"
#include "platform/MessageBox.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "tests/support/TempFolder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const std::string& path) {
    const std::string bytes = testsupport::ReadWholeFile(path);
    return Bytes(bytes.begin(), bytes.end());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    testsupport::WriteWholeFile(path, std::string(bytes.begin(), bytes.end()));
}

Bytes FileOf(std::uint32_t version, const AppSettings& settings, std::size_t recordBytes = 352) {
    Bytes bytes(4 + recordBytes, 0);
    std::memcpy(bytes.data(), &version, 4);
    std::memcpy(bytes.data() + 4, &settings, std::min<std::size_t>(recordBytes, 352));
    return bytes;
}

std::int32_t Int32At(const Bytes& bytes, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

bool SameRecord(const AppSettings& a, const AppSettings& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

const std::string kSaveFailed = "Cannot save config file";

// Each test runs with a program path in its own temporary folder, fresh
// defaults and message boxes recorded instead of shown.
class ConfigFileTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.empty());
        SetProgramPath(folder_ + "/lumasrv.bin");
        // A program folder that cannot be written sends the files to the
        // user's folder: here one of the test's own.
        setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
        g_settings = AppSettings{};
        configChanged = false;
    }
    void TearDown() override {
        SetProgramPath("");
        unsetenv("XDG_CONFIG_HOME");
    }
    std::string ConfigPath() const { return folder_ + "/lumasrv.cfg"; }
    std::vector<std::string> FolderNames() const { return testsupport::FolderNames(folder_); }

    testsupport::TempFolder temp_{"lumasettings"};
    std::string folder_ = temp_.Path().string();
    RecordingMessageBoxes boxes_;
};

TEST_F(ConfigFileTest, SavedDefaultsLieAtTheirFileOffsets) {
    ASSERT_TRUE(SaveConfig());
    const Bytes file = ReadBytes(ConfigPath());
    ASSERT_EQ(file.size(), 356u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0x02, 0x00, 0x00, 0x00}));

    struct Field {
        const char* name;
        std::size_t fileOffset;
        std::int32_t value;
    };
    const std::vector<Field> int32Fields = {
        {"reserved", 4, 1},
        {"videoCodecIndex", 8, 0},
        {"videoBitrateKbps", 12, 48},
        {"videoFramesPerSecond", 16, 5},
        {"videoQuality", 20, 85},
        {"reserved", 24, 1},
        {"audioCodecIndex", 28, 0},
        {"audioFormatIndex", 32, 0},
        {"asfPort", 36, 8080},
        {"maxUsers", 40, 3},
        {"httpPort", 44, 8000},
        {"reserved", 180, 1},
        {"videoDeviceIndex", 184, -1},
        {"audioDeviceIndex", 188, -1},
        {"reserved", 192, 0},
        {"audioCaptureFormatIndex", 196, 0},
        {"mainWindowLeft", 204, 100},
        {"mainWindowTop", 208, 100},
        {"setupDialogLeft", 212, 200},
        {"setupDialogTop", 216, 200},
        {"reserved", 220, 0},
    };
    for (const Field& field : int32Fields)
        EXPECT_EQ(Int32At(file, field.fileOffset), field.value)
            << field.name << " at " << field.fileOffset;

    std::int16_t meterScale;
    std::memcpy(&meterScale, file.data() + 200, 2);
    EXPECT_EQ(meterScale, 32767);
    EXPECT_EQ(file[202], 0);
    EXPECT_EQ(file[203], 0);
    for (std::size_t offset = 48; offset < 180; ++offset) EXPECT_EQ(file[offset], 0) << offset;
    EXPECT_EQ(file[224], 1);  // captionDateTime
    for (std::size_t offset = 225; offset < 353; ++offset) EXPECT_EQ(file[offset], 0) << offset;
    EXPECT_EQ(file[353], 0);  // autoStartServer
    EXPECT_EQ(file[354], 0);  // minimizeToTray
    EXPECT_EQ(file[355], 0);
}

TEST_F(ConfigFileTest, EveryByteSurvivesSaveAndLoad) {
    // Every byte differs from its default, reserved bytes and padding too.
    AppSettings custom;
    auto* raw = reinterpret_cast<std::uint8_t*>(&custom);
    for (std::size_t i = 0; i < sizeof custom; ++i) raw[i] = static_cast<std::uint8_t>(i * 7 + 3);
    custom.videoBitrateKbps = 1500;
    custom.videoFramesPerSecond = 60;
    custom.videoQuality = 1;
    custom.asfPort = 32767;
    custom.maxUsers = 100;
    custom.httpPort = 32768;
    custom.meterScale = 100;
    custom.captionDateTime = 0;
    std::memset(custom.captionText, 'x', 127);
    custom.captionText[127] = '\0';
    custom.autoStartServer = 1;
    custom.minimizeToTray = 2;  // any non-zero byte is true, and is kept as it is

    g_settings = custom;
    ASSERT_TRUE(SaveConfig());
    g_settings = AppSettings{};
    LoadConfig();
    EXPECT_TRUE(SameRecord(g_settings, custom));
    EXPECT_EQ(std::strlen(g_settings.captionText), 127u);
    EXPECT_EQ(g_settings.autoStartServer, 1);
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(ConfigFileTest, MissingFileKeepsTheDefaultsSilently) {
    LoadConfig();
    EXPECT_TRUE(SameRecord(g_settings, AppSettings{}));
    EXPECT_EQ(boxes_.Count(), 0u);
    EXPECT_TRUE(FolderNames().empty());
}

TEST_F(ConfigFileTest, VersionRules) {
    AppSettings stored;
    stored.videoFramesPerSecond = 25;
    stored.maxUsers = 7;
    std::strcpy(stored.captionText, "Hello");
    struct Case {
        std::uint32_t version;
        bool warns;
    };
    const std::vector<Case> cases = {
        {0, false}, {1, false}, {2, false}, {3, true}, {0x80000000u, true}, {0xFFFFFFFFu, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        boxes_.Clear();
        g_settings = AppSettings{};
        // A newer release's file may be longer; the known record is at its front.
        WriteBytes(ConfigPath(), FileOf(c.version, stored, c.warns ? 500 : 352));
        LoadConfig();
        EXPECT_TRUE(SameRecord(g_settings, stored));
        const auto shown = boxes_.Boxes();
        if (c.warns) {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].text,
                      "Config file version is higher then software version - loaded partially");
            EXPECT_EQ(shown[0].type, MB_OK | MB_ICONEXCLAMATION);
        } else {
            EXPECT_TRUE(shown.empty());
        }
    }
}

TEST_F(ConfigFileTest, ShortAndLongFiles) {
    AppSettings stored;
    stored.reserved0 = 9;
    stored.videoCodecIndex = 4;
    stored.videoBitrateKbps = 300;
    stored.videoFramesPerSecond = 30;
    stored.autoStartServer = 1;
    const AppSettings defaults;

    struct Case {
        const char* name;
        Bytes file;
        std::function<void(const AppSettings&)> check;
    };
    const std::vector<Case> cases = {
        {"empty", {}, [&](const AppSettings& s) { EXPECT_TRUE(SameRecord(s, defaults)); }},
        {"half a version",
         {0x02, 0x00},
         [&](const AppSettings& s) { EXPECT_TRUE(SameRecord(s, defaults)); }},
        {"only the version", FileOf(2, stored, 0),
         [&](const AppSettings& s) { EXPECT_TRUE(SameRecord(s, defaults)); }},
        {"three fields", FileOf(2, stored, 12),
         [&](const AppSettings& s) {
             EXPECT_EQ(s.reserved0, 9);
             EXPECT_EQ(s.videoCodecIndex, 4);
             EXPECT_EQ(s.videoBitrateKbps, 300);
             EXPECT_EQ(s.videoFramesPerSecond, defaults.videoFramesPerSecond);
             EXPECT_EQ(s.autoStartServer, 0);
         }},
        {"all but the last byte", FileOf(1, stored, 351),
         [&](const AppSettings& s) { EXPECT_TRUE(SameRecord(s, stored)); }},
        {"longer than the record", FileOf(2, stored, 1000),
         [&](const AppSettings& s) { EXPECT_TRUE(SameRecord(s, stored)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_settings = AppSettings{};
        WriteBytes(ConfigPath(), c.file);
        LoadConfig();
        c.check(g_settings);
    }
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(ConfigFileTest, OutOfRangeValuesGetTheirDefaults) {
    struct Case {
        const char* name;
        std::function<void(AppSettings&, std::int32_t)> set;
        std::function<std::int32_t(const AppSettings&)> get;
        std::vector<std::int32_t> invalid;
        std::vector<std::int32_t> valid;
    };
    const std::vector<Case> cases = {
        {"videoFramesPerSecond",
         [](AppSettings& s, std::int32_t v) { s.videoFramesPerSecond = v; },
         [](const AppSettings& s) { return s.videoFramesPerSecond; },
         {0, -5, 61, INT32_MIN},
         {1, 60}},
        {"videoBitrateKbps",
         [](AppSettings& s, std::int32_t v) { s.videoBitrateKbps = v; },
         [](const AppSettings& s) { return s.videoBitrateKbps; },
         {0, -1, 1501},
         {1, 1500}},
        {"videoQuality",
         [](AppSettings& s, std::int32_t v) { s.videoQuality = v; },
         [](const AppSettings& s) { return s.videoQuality; },
         {0, 101},
         {1, 100}},
        {"asfPort",
         [](AppSettings& s, std::int32_t v) { s.asfPort = v; },
         [](const AppSettings& s) { return s.asfPort; },
         {0, 32768, 65535, -80},
         {1, 32767}},
        {"maxUsers",
         [](AppSettings& s, std::int32_t v) { s.maxUsers = v; },
         [](const AppSettings& s) { return s.maxUsers; },
         {0, 101, -3},
         {1, 100}},
        {"httpPort",
         [](AppSettings& s, std::int32_t v) { s.httpPort = v; },
         [](const AppSettings& s) { return s.httpPort; },
         {0, 32769, 65536},
         {1, 80, 32768}},  // a file that names 80 keeps it, whatever the default
        {"meterScale",
         [](AppSettings& s, std::int32_t v) { s.meterScale = static_cast<std::int16_t>(v); },
         [](const AppSettings& s) { return std::int32_t{s.meterScale}; },
         {0, 99, -1, -32768},
         {100, 32767}},
    };
    const AppSettings defaults;
    for (const Case& c : cases) {
        for (const bool valid : {false, true}) {
            for (const std::int32_t value : valid ? c.valid : c.invalid) {
                SCOPED_TRACE(testing::Message() << c.name << " = " << value);
                AppSettings stored;
                stored.videoCodecIndex = 2;  // a neighbour that must not be touched
                c.set(stored, value);
                WriteBytes(ConfigPath(), FileOf(2, stored));
                g_settings = AppSettings{};
                LoadConfig();
                EXPECT_EQ(c.get(g_settings), valid ? value : c.get(defaults));
                EXPECT_EQ(g_settings.videoCodecIndex, 2);
            }
        }
    }
}

TEST_F(ConfigFileTest, UnterminatedCaptionIsCutAt127Characters) {
    AppSettings stored;
    std::memset(stored.captionText, 'A', sizeof stored.captionText);
    stored.autoStartServer = 1;
    WriteBytes(ConfigPath(), FileOf(2, stored));
    LoadConfig();
    EXPECT_EQ(std::string(g_settings.captionText), std::string(127, 'A'));
    EXPECT_EQ(g_settings.autoStartServer, 1);
}

TEST_F(ConfigFileTest, UnwritableLocationFailsAndKeepsThePromptArmed) {
    WriteBytes(folder_ + "/plainfile", {1, 2, 3});
    // Nor can the user's folder be made: the save has nowhere to go.
    setenv("XDG_CONFIG_HOME", (folder_ + "/plainfile/config").c_str(), 1);
    const std::vector<std::string> programPaths = {
        folder_ + "/missing/lumasrv.bin",    // folder does not exist
        folder_ + "/plainfile/lumasrv.bin",  // "folder" is a file
        "ab",                                // too short to name a file
    };
    for (const std::string& programPath : programPaths) {
        SCOPED_TRACE(programPath);
        boxes_.Clear();
        SetProgramPath(programPath);
        configChanged = true;
        SaveConfigCommand();
        const auto shown = boxes_.Boxes();
        ASSERT_EQ(shown.size(), 1u);  // no "Configuration is saved"
        EXPECT_EQ(shown[0].text, kSaveFailed);
        EXPECT_EQ(shown[0].type, MB_OK | MB_ICONSTOP);
        EXPECT_TRUE(configChanged);
    }

    // A program folder the user may not write to. The superuser writes
    // anywhere, so the save runs in a child that gives up the superuser's
    // rights first (and may pass through the test's folder to get there).
    const std::string readOnly = folder_ + "/ro";
    SetProgramPath(readOnly + "/lumasrv.bin");
    std::filesystem::create_directory(readOnly);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(folder_.c_str(), 0711), 0);
    configChanged = true;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(2);
        if (SaveConfig()) _exit(1);
        _exit(configChanged ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(folder_.c_str(), 0700);
    ::chmod(readOnly.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: saved anyway, 2: could not drop rights, 3: the prompt was disarmed";
    EXPECT_EQ(testsupport::FolderNames(readOnly), std::vector<std::string>{});
}

TEST_F(ConfigFileTest, InterruptedSaveLeavesThePreviousFile) {
    AppSettings previous;
    previous.httpPort = 8081;
    const Bytes previousFile = FileOf(2, previous);
    WriteBytes(ConfigPath(), previousFile);
    ::chmod(ConfigPath().c_str(), 0640);

    // The file size limit cuts the write off after 100 bytes, as a full disk
    // would.
    g_settings.httpPort = 9090;
    configChanged = true;
    bool saved_ok = false;
    {
        testsupport::FileSizeLimit fullDisk(100);
        ASSERT_TRUE(fullDisk.Ok());
        saved_ok = SaveConfig();
    }

    EXPECT_FALSE(saved_ok);
    EXPECT_TRUE(configChanged);
    EXPECT_EQ(ReadBytes(ConfigPath()), previousFile);
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"lumasrv.cfg"});  // no leftovers
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, kSaveFailed);

    // The next save goes through and keeps the owner's permissions; the
    // group's go, as the settings are the user's alone.
    ASSERT_TRUE(SaveConfig());
    EXPECT_FALSE(configChanged);
    EXPECT_EQ(Int32At(ReadBytes(ConfigPath()), 44), 9090);
    struct stat info {};
    ASSERT_EQ(::stat(ConfigPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"lumasrv.cfg"});
}

TEST_F(ConfigFileTest, SaveCommandConfirmsAndClearsTheChangeFlag) {
    configChanged = true;
    const mode_t umask = ::umask(0);  // a new file is the user's alone whatever the umask
    SaveConfigCommand();
    ::umask(umask);
    EXPECT_FALSE(configChanged);
    EXPECT_EQ(ReadBytes(ConfigPath()).size(), 356u);
    struct stat info {};
    ASSERT_EQ(::stat(ConfigPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const auto shown = boxes_.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Configuration is saved");
    EXPECT_EQ(shown[0].type, MB_OK);
    EXPECT_EQ(shown[0].caption, kSettingsMessageCaption);
}

TEST_F(ConfigFileTest, ExitPrompt) {
    struct Case {
        const char* name;
        bool changed;
        int answer;
        bool asks;
        bool writes;
    };
    const std::vector<Case> cases = {
        {"nothing changed", false, IDYES, false, false},
        {"changed, Yes", true, IDYES, true, true},
        {"changed, No", true, IDNO, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(ConfigPath());
        boxes_.Clear();
        g_settings.mainWindowLeft = 321;  // a moved window alone never prompts
        configChanged = c.changed;
        boxes_.QueueAnswer(c.answer);
        EXPECT_EQ(AskToSaveConfig(), c.asks);
        EXPECT_EQ(std::filesystem::exists(ConfigPath()), c.writes);
        EXPECT_EQ(configChanged, c.changed && !c.writes);
        if (c.asks) {
            ASSERT_EQ(boxes_.Count(), 1u);
            EXPECT_EQ(boxes_.Boxes()[0].text, "Do you want to save current configuration?");
            EXPECT_EQ(boxes_.Boxes()[0].type, MB_YESNO | MB_ICONQUESTION);
        } else {
            EXPECT_EQ(boxes_.Count(), 0u);
        }
        if (c.writes) {
            EXPECT_EQ(Int32At(ReadBytes(ConfigPath()), 204), 321);
        }
    }
}

TEST_F(ConfigFileTest, PathsFollowTheProgramPath) {
    // Program folders the user may write: the files sit beside the program.
    std::filesystem::create_directories(folder_ + "/x");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {folder_ + "/lumasrv.bin", folder_ + "/lumasrv.cfg"},
        {folder_ + "/x/lumasrv.exe", folder_ + "/x/lumasrv.cfg"},
        {folder_ + "/x/broadcaster", folder_ + "/x/broadcascfg"},
    };
    for (const auto& [program, config] : cases) {
        SetProgramPath(program);
        EXPECT_EQ(ConfigFilePath(), config);
    }
    SetProgramPath(folder_ + "/lumasrv.bin");
    EXPECT_EQ(DetermineProgramDir(), folder_ + "/");
    EXPECT_EQ(programDir, folder_ + "/");
    EXPECT_EQ(filesDir, folder_ + "/");

    SetProgramPath("");
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(DetermineProgramDir(), executable.substr(0, executable.rfind('/') + 1));
}

// An installed copy's folder is not the user's to write (here: a folder that
// is not there at all): the user's files go to the user's own Lumacast
// folder, made when first needed, under XDG_CONFIG_HOME or else HOME.
TEST_F(ConfigFileTest, AnInstalledCopyKeepsTheUsersFilesInTheirOwnFolder) {
    const std::string installed = folder_ + "/usr/lib/lumacast/";
    const char* savedHome = std::getenv("HOME");
    const std::string keepHome = savedHome ? savedHome : "";

    SetProgramPath(installed + "lumasrv.bin");
    EXPECT_EQ(UserFilesPath(), folder_ + "/config/lumacast/lumasrv.bin");
    EXPECT_TRUE(std::filesystem::is_directory(folder_ + "/config/lumacast"));
    EXPECT_EQ(ConfigFilePath(), folder_ + "/config/lumacast/lumasrv.cfg");
    EXPECT_EQ(DetermineProgramDir(), installed);
    EXPECT_EQ(filesDir, folder_ + "/config/lumacast/");
    ASSERT_TRUE(SaveConfig());
    EXPECT_EQ(std::filesystem::file_size(folder_ + "/config/lumacast/lumasrv.cfg"), 356u);

    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", (folder_ + "/home").c_str(), 1);
    EXPECT_EQ(ConfigFilePath(), folder_ + "/home/.config/lumacast/lumasrv.cfg");

    if (savedHome) {
        setenv("HOME", keepHome.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
}

TEST(IndexInRange, ChecksStoredPositions) {
    EXPECT_FALSE(IndexInRange(-1, 3));
    EXPECT_FALSE(IndexInRange(INT32_MIN, 3));
    EXPECT_TRUE(IndexInRange(0, 3));
    EXPECT_TRUE(IndexInRange(2, 3));
    EXPECT_FALSE(IndexInRange(3, 3));
    EXPECT_FALSE(IndexInRange(0, 0));
}

}  // namespace
