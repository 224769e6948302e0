// The program as a viewer meets it: lumasrv --headless started from a copy of
// the program folder, its page fetched over HTTP and its stream played by
// ffmpeg, an independent client.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "diag/ProgramPath.h"
#include "media/CapLib.h"
#include "platform/UniqueHandle.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A free port the settings accept (the stream port goes up to 32767 only,
// below the system's ephemeral range).
int FreePort() {
    static unsigned seed = static_cast<unsigned>(getpid());
    for (;;) {
        const int port = 20000 + static_cast<int>(rand_r(&seed) % 12000);
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return port;
    }
}

UniqueFd ConnectLoopback(int port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
}

// Sends request and reads until the server closes or timeoutMs passes.
std::string Fetch(int port, const std::string& request, int timeoutMs = 5000) {
    UniqueFd fd = ConnectLoopback(port);
    if (!fd) return {};
    send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[4096];
    for (;;) {
        pollfd event{fd.Get(), POLLIN, 0};
        if (poll(&event, 1, timeoutMs) <= 0) break;
        const ssize_t got = recv(fd.Get(), buffer, sizeof buffer, 0);
        if (got <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    return reply;
}

std::string ReadFile(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class HeadlessProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* staged = std::getenv("LUMACAST_PROGRAM_DIR");
        ASSERT_TRUE(staged && fs::exists(fs::path(staged) / "lumasrv.bin"))
            << "the staged program folder is missing";
        folder_ = fs::temp_directory_path() / ("lumacast-e2e-" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_ / "state");
        fs::copy(staged, folder_ / "program",
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        setenv("XDG_STATE_HOME", (folder_ / "state").c_str(), 1);
        setenv("LUMACAST_FAKE_DEVICES", "1", 1);
        program_ = folder_ / "program";

        // A configuration of the test devices on free ports, written the way
        // the program writes it.
        SetProgramPath((program_ / "lumasrv.bin").string());
        g_settings = AppSettings{};
        {
            CapLib devices;
            for (int i = 0; i < devices.GetVideoDeviceCount(); ++i) {
                if (std::string(devices.GetVideoDeviceName(i)) == "Lumacast Test Camera") {
                    g_settings.videoDeviceIndex = i;
                }
            }
            for (int i = 0; i < devices.GetAudioDeviceCount(); ++i) {
                if (std::string(devices.GetAudioDeviceName(i)) != "Lumacast Test Microphone") continue;
                g_settings.audioDeviceIndex = i;
                std::unique_ptr<WAVEFORMATEX[]> formats;
                const int count = devices.GetAudioCaptureFormats(i, &formats);
                for (int f = 0; f < count; ++f) {
                    if (formats[f].nSamplesPerSec == 44100 && formats[f].nChannels == 2 &&
                        formats[f].wBitsPerSample == 16) {
                        g_settings.audioCaptureFormatIndex = f;
                    }
                }
            }
            devices.Close();
        }
        ASSERT_NE(g_settings.videoDeviceIndex, -1);
        ASSERT_NE(g_settings.audioDeviceIndex, -1);
        g_settings.httpPort = FreePort();
        g_settings.asfPort = FreePort();
        g_settings.videoBitrateKbps = 1000;
        g_settings.videoFramesPerSecond = 10;
        ASSERT_TRUE(SaveConfig());
        ASSERT_EQ(fs::file_size(program_ / "lumasrv.cfg"), 356u);
        SetProgramPath("");
        fs::remove(program_ / "caplib.txt");
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(folder_);
    }

    // Starts the program and waits for the line that names the stream.
    void Launch() {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string path = (program_ / "lumasrv").string();
        char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--headless"), nullptr};
        ASSERT_EQ(posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        UniqueFd reader(out[0]);
        char buffer[1024];
        while (stdout_.find("/MyFile.wma\n") == std::string::npos) {
            pollfd event{reader.Get(), POLLIN, 0};
            ASSERT_GT(poll(&event, 1, 30000), 0) << "no stream address printed: " << stdout_;
            const ssize_t got = read(reader.Get(), buffer, sizeof buffer);
            ASSERT_GT(got, 0) << "the program ended early: " << stdout_;
            stdout_.append(buffer, static_cast<std::size_t>(got));
        }
    }

    // Runs a shell command line (ffmpeg) and returns its exit status.
    static int Run(const std::string& command) { return std::system(command.c_str()); }

    fs::path folder_;
    fs::path program_;
    pid_t pid_ = -1;
    std::string stdout_;
};

TEST_F(HeadlessProgramTest, ViewersGetThePageAndACaptionedStreamWithTheTone) {
    Launch();
    const std::size_t streamAt = stdout_.find("Stream: ");
    ASSERT_NE(streamAt, std::string::npos) << stdout_;
    const std::string streamLine = stdout_.substr(streamAt + 8, stdout_.find('\n', streamAt) - streamAt - 8);
    const std::string url = streamLine.substr(0, streamLine.size() - std::string("/MyFile.wma").size());
    EXPECT_NE(stdout_.find("Viewer page: http://"), std::string::npos) << stdout_;
    EXPECT_NE(stdout_.find(":" + std::to_string(g_settings.httpPort) + "/\n"), std::string::npos)
        << stdout_;

    // The page, from the program's own web server.
    const std::string page = Fetch(g_settings.httpPort, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_EQ(Count(page, url + "/MyFile.wma"), 2u) << page;
    // Its private files stay private.
    EXPECT_NE(Fetch(g_settings.httpPort, "GET /lumasrv.cfg HTTP/1.0\r\n\r\n").find("404"),
              std::string::npos);

    // Three seconds of the stream through ffmpeg: pictures and sound.
    const fs::path video = folder_ / "video.rgb";
    const fs::path audio = folder_ / "audio.pcm";
    const std::string source = "http://127.0.0.1:" + std::to_string(g_settings.asfPort) + "/MyFile.wma";
    ASSERT_EQ(Run("timeout 60 ffmpeg -v error -y -i " + source +
                  " -t 3 -map 0:v -vf scale=320:240 -f rawvideo -pix_fmt rgb24 " + video.string() +
                  " -map 0:a -t 3 -ac 1 -f s16le " + audio.string()),
              0);

    const std::string pixels = ReadFile(video);
    constexpr std::size_t kFrameBytes = 320 * 240 * 3;
    ASSERT_GE(pixels.size(), 10 * kFrameBytes) << "too few frames decoded";
    // In a frame from the middle, the caption's white letters on their black
    // shadow stand in the top-left corner over the light left bar; below
    // them the bar has no dark pixel.
    const std::size_t frame = (pixels.size() / kFrameBytes / 2) * kFrameBytes;
    const auto luma = [&](int x, int y) {
        const auto* p = reinterpret_cast<const unsigned char*>(pixels.data()) + frame + (y * 320 + x) * 3;
        return (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000;
    };
    int white = 0, dark = 0, darkBelow = 0;
    for (int y = 2; y < 14; ++y) {
        for (int x = 2; x < 40; ++x) {
            white += luma(x, y) > 235;
            dark += luma(x, y) < 60;
        }
    }
    for (int y = 40; y < 80; ++y) {
        for (int x = 2; x < 40; ++x) darkBelow += luma(x, y) < 60;
    }
    EXPECT_GT(white, 10);
    EXPECT_GT(dark, 10);
    EXPECT_EQ(darkBelow, 0);

    // The sound is the test tone (440 Hz), not silence.
    const std::string sound = ReadFile(audio);
    const auto* samples = reinterpret_cast<const std::int16_t*>(sound.data());
    const std::size_t count = sound.size() / 2;
    ASSERT_GT(count, 44100u);
    double energy = 0;
    int crossings = 0;
    for (std::size_t i = count / 3; i < count / 3 + 44100; ++i) {
        energy += static_cast<double>(samples[i]) * samples[i];
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    EXPECT_GT(std::sqrt(energy / 44100), 1000.0);
    EXPECT_NEAR(crossings / 2.0, 440.0, 30.0);
}

TEST_F(HeadlessProgramTest, SigtermEndsTheProgramAndTheViewersStream) {
    Launch();
    UniqueFd viewer = ConnectLoopback(g_settings.asfPort);
    ASSERT_TRUE(viewer);
    const std::string request = "GET /MyFile.wma HTTP/1.0\r\n\r\n";
    send(viewer.Get(), request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[65536];
    pollfd event{viewer.Get(), POLLIN, 0};
    ASSERT_GT(poll(&event, 1, 10000), 0);
    ASSERT_GT(recv(viewer.Get(), buffer, sizeof buffer, 0), 0);

    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    pid_t ended = 0;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(ended, pid_) << "still running 20 s after SIGTERM";
    pid_ = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The viewer's stream has ended: whatever was on its way, then the close.
    bool closed = false;
    for (;;) {
        pollfd wait{viewer.Get(), POLLIN, 0};
        if (poll(&wait, 1, 5000) <= 0) break;
        const ssize_t got = recv(viewer.Get(), buffer, sizeof buffer, 0);
        if (got <= 0) {
            closed = true;
            break;
        }
    }
    EXPECT_TRUE(closed);
}

}  // namespace
