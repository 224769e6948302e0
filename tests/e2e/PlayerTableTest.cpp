// The broadcast in the players people paste the Connection URL into: VLC
// over http:// and mmsh://, GStreamer's playbin as GNOME's video player
// opens an address, mpv and ffplay, each run as an ordinary user. They all
// join lumasrv --headless on the test devices at once, after it has
// broadcast for a minute, and play for a minute; then the broadcast is
// restarted under them, and they join the new one a few seconds in. Over
// HTTPS, VLC, playbin and ffplay play the broadcast, trusting the program's
// own certificate.
//
// What each player shows is read from the player itself: the pictures it
// displayed (VLC's statistics, mpv's frame number, ffplay's video clock,
// playbin's video sink), and the sound its audio output played, written to
// a file the test measures for the test microphone's tone.

#include <arpa/inet.h>
#include <gio/gio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "diag/ProgramPath.h"
#include "platform/UniqueHandle.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "tests/support/Commands.h"
#include "tests/support/DecodedStream.h"
#include "tests/support/Processes.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/Skip.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDevices.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::ReadWholeFile;

constexpr int kFramesPerSecond = 15;
constexpr auto kFirstPictureLimit = 2s;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What a player has shown so far.
struct Seen {
    long pictures = 0;        // pictures displayed
    double soundSeconds = 0;  // sound its output played
    bool ended = false;       // it stopped playing (exited, or said the stream ended)
};

// The sound an output wrote, as 16-bit mono at 44100 Hz for the tone
// measure: a WAV file (any channel count), or raw 16-bit samples of the
// given channel count.
std::vector<std::int16_t> ReadSound(const fs::path& file, int rawChannels) {
    const std::string bytes = ReadWholeFile(file);
    std::size_t data = 0;
    int channels = rawChannels;
    if (bytes.rfind("RIFF", 0) == 0) {
        // Chunks after the RIFF header; a file still being written may say
        // the data chunk is empty, so its length is what follows it.
        std::size_t at = 12;
        while (at + 8 <= bytes.size()) {
            std::uint32_t length = 0;
            std::memcpy(&length, bytes.data() + at + 4, 4);
            if (bytes.compare(at, 4, "fmt ") == 0 && at + 12 <= bytes.size()) {
                std::uint16_t count = 0;
                std::memcpy(&count, bytes.data() + at + 10, 2);
                channels = count;
            }
            if (bytes.compare(at, 4, "data") == 0) {
                data = at + 8;
                break;
            }
            at += 8 + length;
        }
        if (data == 0) return {};
    }
    std::vector<std::int16_t> mono;
    channels = std::max(channels, 1);
    const std::size_t frame = 2 * static_cast<std::size_t>(channels);
    for (std::size_t at = data; at + frame <= bytes.size(); at += frame) {
        int sum = 0;
        for (int c = 0; c < channels; ++c) {
            std::int16_t sample = 0;
            std::memcpy(&sample, bytes.data() + at + 2 * c, 2);
            sum += sample;
        }
        mono.push_back(static_cast<std::int16_t>(sum / channels));
    }
    return mono;
}

// A line-oriented conversation over a Unix socket (VLC's remote control,
// mpv's IPC server): what came back within a short while of a command.
class UnixChat {
  public:
    bool Open(const fs::path& path) {
        fd_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (!fd_ ||
            connect(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            fd_.Reset();
            return false;
        }
        return true;
    }
    bool IsOpen() const { return static_cast<bool>(fd_); }
    // Sends the command and collects the answer until until() says it is
    // whole, or half a second passes.
    std::string Ask(const std::string& command,
                    const std::function<bool(const std::string&)>& until) {
        if (!fd_ || send(fd_.Get(), command.data(), command.size(), MSG_NOSIGNAL) < 0) return {};
        std::string answer;
        const auto deadline = Clock::now() + 500ms;
        while (Clock::now() < deadline && !until(answer)) {
            pollfd event{fd_.Get(), POLLIN, 0};
            if (poll(&event, 1, 50) <= 0) continue;
            char buffer[4096];
            const ssize_t got = recv(fd_.Get(), buffer, sizeof buffer, 0);
            if (got <= 0) {
                fd_.Reset();
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(got));
        }
        return answer;
    }

  private:
    UniqueFd fd_;
};

// One player of the table.
class Player {
  public:
    virtual ~Player() = default;
    virtual const char* Name() const = 0;
    // Starts it on the stream whose plain address is url (http://host:port).
    virtual void Start(const std::string& url) = 0;
    virtual Seen Look() = 0;
    // The sound it played so far, as 16-bit mono at 44100 Hz.
    virtual std::vector<std::int16_t> Sound() = 0;
    virtual void Stop() = 0;
    // What it said, for a failure's message.
    virtual std::string Log() const { return {}; }
    // Trusts the broadcast's own certificate (a PEM file) from now on, as a
    // viewer does who has checked its fingerprint. Players that check no
    // certificate need nothing.
    virtual void Trust(const fs::path&) {}
};

// A player program, run as an ordinary user in a folder of its own, that
// writes its sound to a file.
class ProgramPlayer : public Player {
  public:
    ProgramPlayer(const char* name, const fs::path& folder) : name_(name), folder_(folder / name) {
        fs::create_directories(folder_);
        fs::create_directories(folder_ / "home");
        for (const auto& entry : fs::recursive_directory_iterator(folder_))
            chown(entry.path().c_str(), testsupport::OrdinaryUid(), testsupport::OrdinaryGid());
        chown(folder_.c_str(), testsupport::OrdinaryUid(), testsupport::OrdinaryGid());
    }
    ~ProgramPlayer() override { Stop(); }
    const char* Name() const override { return name_; }

    void Start(const std::string& url) override {
        Stop();
        fs::remove(SoundFile());
        fs::remove(folder_ / "control");
        fs::remove(folder_ / "output.txt");
        testsupport::SpawnOptions options;
        options.out = (folder_ / "output.txt").string();
        options.ownGroup = true;
        options.ordinaryUser = true;
        options.variables = {"HOME=" + (folder_ / "home").string(),
                             "XDG_RUNTIME_DIR=" + (folder_ / "home").string()};
        Environment(options.variables);
        lastPictures_ = 0;
        pid_ = testsupport::SpawnWith(Arguments(url), options);
    }
    void Stop() override { testsupport::StopGroup(pid_); }
    std::string Log() const override {
        const std::string log = ReadWholeFile(folder_ / "output.txt");
        return log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    }

    Seen Look() override {
        Seen seen;
        seen.ended = testsupport::Ended(pid_);
        seen.pictures = seen.ended ? lastPictures_ : lastPictures_ = Pictures();
        seen.soundSeconds = SoundBytes() / (44100.0 * 2 * SoundChannels());
        return seen;
    }
    std::vector<std::int16_t> Sound() override { return ReadSound(SoundFile(), SoundChannels()); }

  protected:
    virtual std::vector<std::string> Arguments(const std::string& url) = 0;
    virtual void Environment(std::vector<std::string>&) {}
    // Pictures displayed so far, as the player reports them.
    virtual long Pictures() = 0;
    virtual int SoundChannels() const { return 1; }
    double SoundBytes() const {
        std::error_code error;
        const auto size = fs::file_size(SoundFile(), error);
        return error ? 0 : static_cast<double>(size);
    }
    fs::path SoundFile() const { return folder_ / "sound"; }
    fs::path Control() const { return folder_ / "control"; }
    const fs::path& Folder() const { return folder_; }

  private:
    const char* name_;
    fs::path folder_;
    pid_t pid_ = -1;
    long lastPictures_ = 0;
};

// VLC's command-line player, its statistics asked through its remote
// control on a socket.
class VlcPlayer final : public ProgramPlayer {
  public:
    VlcPlayer(const char* name, const fs::path& folder, std::string scheme)
        : ProgramPlayer(name, folder), scheme_(std::move(scheme)) {}

  protected:
    std::vector<std::string> Arguments(const std::string& url) override {
        chat_ = UnixChat();
        pictures_ = 0;
        return {"cvlc",
                "--no-interact",
                "--extraintf",
                "oldrc",
                "--rc-unix=" + Control().string(),
                "--rc-fake-tty",
                "--vout=dummy",
                "--aout=afile",
                "--audiofile-file=" + SoundFile().string(),
                "--audiofile-format=s16",
                "--audiofile-channels=1",
                "--play-and-exit",
                scheme_ + url.substr(url.find("://")) + "/MyFile.wma"};
    }
    long Pictures() override {
        if (!chat_.IsOpen() && !chat_.Open(Control())) return 0;
        const std::string stats = chat_.Ask("stats\n", [](const std::string& answer) {
            return answer.find("end of statistical info") != std::string::npos;
        });
        std::smatch match;
        if (std::regex_search(stats, match, std::regex("frames displayed\\s*:\\s*(\\d+)")))
            pictures_ = std::stol(match[1]);
        return pictures_;
    }

  public:
    // The certificate's key, kept as VLC keeps a key its user accepted for
    // an address (GnuTLS's store of known keys in the player's home).
    void Trust(const fs::path& certificate) override {
        const std::string key = testsupport::RunCommand(
            "openssl x509 -in '" + certificate.string() +
            "' -pubkey -noout | openssl pkey -pubin -outform DER | base64 -w0");
        const fs::path store = Folder() / "home" / ".gnutls";
        fs::create_directories(store);
        testsupport::WriteWholeFile(store / "known_hosts", "|g0|127.0.0.1|https|0|" + key + "\n");
        for (const fs::path& path : {store, store / "known_hosts"})
            chown(path.c_str(), testsupport::OrdinaryUid(), testsupport::OrdinaryGid());
    }

  private:
    std::string scheme_;
    UnixChat chat_;
    long pictures_ = 0;
};

// mpv, its frame number asked through its IPC server.
class MpvPlayer final : public ProgramPlayer {
  public:
    using ProgramPlayer::ProgramPlayer;

  protected:
    std::vector<std::string> Arguments(const std::string& url) override {
        chat_ = UnixChat();
        pictures_ = 0;
        return {"mpv",
                "--no-config",
                "--really-quiet",
                "--vo=null",
                "--ao=pcm",
                "--ao-pcm-file=" + SoundFile().string(),
                "--audio-format=s16",
                "--audio-channels=mono",
                "--audio-samplerate=44100",
                "--input-ipc-server=" + Control().string(),
                url + "/MyFile.wma"};
    }
    long Pictures() override {
        if (!chat_.IsOpen() && !chat_.Open(Control())) return 0;
        const std::string answer = chat_.Ask(
            "{\"command\":[\"get_property\",\"estimated-frame-number\"],\"request_id\":1}\n",
            [](const std::string& text) {
                return text.find("\"request_id\":1") != std::string::npos;
            });
        std::smatch match;
        if (std::regex_search(answer, match, std::regex("\"data\":(\\d+)")))
            pictures_ = std::stol(match[1]);
        return pictures_;
    }

  private:
    UnixChat chat_;
    long pictures_ = 0;
};

// ffplay on SDL's own drivers: the pictures go to a window of its dummy
// video driver, the sound to a file at the pace of a sound card. Its status
// line gives the master clock and, once pictures are shown, the difference
// of the video clock from it: the pictures shown are the clock's seconds at
// the frame rate.
class FfplayPlayer final : public ProgramPlayer {
  public:
    using ProgramPlayer::ProgramPlayer;

  protected:
    std::vector<std::string> Arguments(const std::string& url) override {
        firstClock_ = -1;
        pictures_ = 0;
        return {"ffplay", "-autoexit", "-loglevel", "info", url + "/MyFile.wma"};
    }
    void Environment(std::vector<std::string>& environment) override {
        environment.push_back("SDL_VIDEODRIVER=dummy");
        environment.push_back("SDL_AUDIODRIVER=disk");
        environment.push_back("SDL_DISKAUDIOFILE=" + SoundFile().string());
    }
    int SoundChannels() const override { return 2; }
    long Pictures() override {
        const std::string log = ReadWholeFile(Folder() / "output.txt");
        std::smatch match;
        const std::string tail = log.substr(log.size() > 400 ? log.size() - 400 : 0);
        // "  12.34 A-V:  0.012 fd=   0 ...": the clock, and the video clock
        // near it. Before the first picture there is no A-V.
        static const std::regex status("([0-9.]+) A-V:\\s*(-?[0-9.]+)");
        double clock = -1;
        for (auto it = std::sregex_iterator(tail.begin(), tail.end(), status);
             it != std::sregex_iterator(); ++it) {
            if (std::fabs(std::stod((*it)[2])) < 1.0) clock = std::stod((*it)[1]);
        }
        if (clock >= 0) {
            if (firstClock_ < 0) firstClock_ = clock;
            pictures_ = 1 + static_cast<long>((clock - firstClock_) * kFramesPerSecond);
        }
        return pictures_;
    }

  private:
    double firstClock_ = -1;
    long pictures_ = 0;
};

// GStreamer's playbin in this process, driven as gst-play-1.0 and GNOME's
// players drive it: paused while it buffers, playing once it has. Its video
// sink counts the pictures it shows (the first while still paused, as a
// window does); its audio sink keeps the sound, both at the clock's pace.
class PlaybinPlayer final : public Player {
  public:
    ~PlaybinPlayer() override { Stop(); }
    const char* Name() const override { return "GStreamer playbin"; }

    void Start(const std::string& url) override {
        Stop();
        {
            std::lock_guard lock(mutex_);
            sound_.clear();
        }
        pictures_ = 0;
        ended_ = false;
        log_.clear();
        playbin_ = gst_element_factory_make("playbin", nullptr);
        if (!playbin_) {
            log_ = "no playbin";
            ended_ = true;
            return;
        }
        GstElement* video = gst_element_factory_make("fakesink", nullptr);
        g_object_set(video, "sync", TRUE, "signal-handoffs", TRUE, "enable-last-sample", FALSE,
                     nullptr);
        g_signal_connect(video, "preroll-handoff", G_CALLBACK(&PlaybinPlayer::OnPicture), this);
        g_signal_connect(video, "handoff", G_CALLBACK(&PlaybinPlayer::OnPicture), this);
        GError* error = nullptr;
        GstElement* audio = gst_parse_bin_from_description(
            "audioconvert ! audioresample ! audio/x-raw,format=S16LE,channels=1,rate=44100 ! "
            "fakesink name=out sync=true signal-handoffs=true enable-last-sample=false",
            TRUE, &error);
        if (!audio) {
            log_ = error ? error->message : "no audio sink";
            g_clear_error(&error);
            ended_ = true;
            return;
        }
        GstElement* out = gst_bin_get_by_name(GST_BIN(audio), "out");
        g_signal_connect(out, "handoff", G_CALLBACK(&PlaybinPlayer::OnSound), this);
        gst_object_unref(out);
        const std::string uri = url + "/MyFile.wma";
        g_object_set(playbin_, "uri", uri.c_str(), "video-sink", video, "audio-sink", audio,
                     nullptr);
        g_signal_connect(playbin_, "source-setup", G_CALLBACK(&PlaybinPlayer::OnSource), this);
        gst_element_set_state(playbin_, GST_STATE_PAUSED);
    }

    Seen Look() override {
        if (playbin_) ReadMessages();
        Seen seen;
        seen.pictures = pictures_;
        seen.ended = ended_;
        std::lock_guard lock(mutex_);
        seen.soundSeconds = sound_.size() / 44100.0;
        return seen;
    }
    std::vector<std::int16_t> Sound() override {
        std::lock_guard lock(mutex_);
        return sound_;
    }
    void Stop() override {
        if (!playbin_) return;
        gst_element_set_state(playbin_, GST_STATE_NULL);
        gst_object_unref(playbin_);
        playbin_ = nullptr;
    }
    std::string Log() const override { return log_; }
    // The certificate as the one anchor of the HTTP source's TLS database.
    void Trust(const fs::path& certificate) override { trusted_ = certificate; }

  private:
    static void OnSource(GstElement*, GstElement* source, gpointer self) {
        const fs::path& trusted = static_cast<PlaybinPlayer*>(self)->trusted_;
        if (trusted.empty() ||
            !g_object_class_find_property(G_OBJECT_GET_CLASS(source), "tls-database"))
            return;
        GError* error = nullptr;
        GTlsDatabase* database = g_tls_file_database_new(trusted.c_str(), &error);
        g_clear_error(&error);
        if (!database) return;
        g_object_set(source, "tls-database", database, nullptr);
        g_object_unref(database);
    }
    static void OnPicture(GstElement*, GstBuffer*, GstPad*, gpointer self) {
        ++static_cast<PlaybinPlayer*>(self)->pictures_;
    }
    static void OnSound(GstElement*, GstBuffer* buffer, GstPad*, gpointer self) {
        auto* player = static_cast<PlaybinPlayer*>(self);
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
        std::lock_guard lock(player->mutex_);
        const auto* samples = reinterpret_cast<const std::int16_t*>(map.data);
        player->sound_.insert(player->sound_.end(), samples, samples + map.size / 2);
        gst_buffer_unmap(buffer, &map);
    }

    // The application's part: buffering pauses, its end resumes; the end
    // of the stream or an error ends the player.
    void ReadMessages() {
        GstBus* bus = gst_element_get_bus(playbin_);
        while (GstMessage* message = gst_bus_pop(bus)) {
            switch (GST_MESSAGE_TYPE(message)) {
                case GST_MESSAGE_BUFFERING: {
                    gint percent = 0;
                    gst_message_parse_buffering(message, &percent);
                    buffering_ = percent < 100;
                    gst_element_set_state(playbin_,
                                          buffering_ ? GST_STATE_PAUSED : GST_STATE_PLAYING);
                    break;
                }
                case GST_MESSAGE_ASYNC_DONE:
                    if (!buffering_) gst_element_set_state(playbin_, GST_STATE_PLAYING);
                    break;
                case GST_MESSAGE_EOS:
                    ended_ = true;
                    log_ += "end of stream\n";
                    break;
                case GST_MESSAGE_ERROR: {
                    GError* error = nullptr;
                    gst_message_parse_error(message, &error, nullptr);
                    log_ += std::string("error: ") + (error ? error->message : "?") + "\n";
                    g_clear_error(&error);
                    ended_ = true;
                    break;
                }
                default:
                    break;
            }
            gst_message_unref(message);
        }
        gst_object_unref(bus);
    }

    GstElement* playbin_ = nullptr;
    fs::path trusted_;
    bool buffering_ = false;
    bool ended_ = false;
    std::string log_;
    std::atomic<long> pictures_{0};
    std::mutex mutex_;
    std::vector<std::int16_t> sound_;
};

// What the test saw of one player over a run.
struct Watch {
    Player* player;
    Clock::time_point started;
    double firstPicture = -1;  // seconds after its start
    Seen last;
    Seen tenSecondsBefore;
};

class PlayerTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* program : {"cvlc", "mpv", "ffplay"}) {
            if (!testsupport::HaveProgram(program))
                LUMACAST_SKIP() << program << " is not installed";
        }
        gst_init(nullptr, nullptr);
        program_ = testsupport::CopyStagedProgram(folder_);
        ASSERT_FALSE(program_.empty()) << "the staged program folder is missing";
        setenv("LUMACAST_FAKE_DEVICES", "only", 1);
        // The players run as another user and write into folders below.
        fs::permissions(folder_, fs::perms::all);

        // The broadcast people would set up: the test devices, 15 pictures a
        // second, and room for exactly the players of the table.
        SetProgramPath((program_ / "lumasrv.bin").string());
        g_settings = AppSettings{};
        ASSERT_TRUE(testsupport::ChooseTestDevices(g_settings));
        g_settings.httpPort = testsupport::FreeTcpPort();
        g_settings.asfPort = testsupport::FreeTcpPort();
        g_settings.videoFramesPerSecond = kFramesPerSecond;
        g_settings.maxUsers = static_cast<std::int32_t>(players_.size());
        ASSERT_TRUE(SaveConfig());
        SetProgramPath("");
        url_ = "http://127.0.0.1:" + std::to_string(g_settings.asfPort);
    }

    void TearDown() override {
        for (const auto& player : players_) player->Stop();
        testsupport::StopGroup(program_pid_);
    }

    void Launch() {
        testsupport::SpawnOptions options;
        options.out = (folder_ / "stdout.txt").string();
        options.errors = (folder_ / "stderr.txt").string();
        options.ownGroup = true;
        program_pid_ =
            testsupport::SpawnWith({(program_ / "lumasrv").string(), "--headless"}, options);
        ASSERT_TRUE(testsupport::WaitForPort(g_settings.asfPort, 30s))
            << ReadWholeFile(folder_ / "stderr.txt");
        launches_.push_back(ReadWholeFile(folder_ / "stderr.txt").size());
    }
    // The viewer counts the program printed since its last launch.
    std::vector<std::string> ViewerCounts() const {
        const std::string out = ReadWholeFile(folder_ / "stderr.txt").substr(launches_.back());
        std::vector<std::string> counts;
        static const std::regex line("Viewers: (\\d+)");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), line);
             it != std::sregex_iterator(); ++it)
            counts.push_back((*it)[1]);
        return counts;
    }

    // Starts every player and looks at each every tenth of a second for
    // seconds, calling during(elapsed) once a second.
    std::vector<Watch> PlayAll(double seconds, const std::function<void(double)>& during = {}) {
        std::vector<Watch> watches;
        for (const auto& player : players_) {
            player->Start(url_);
            watches.push_back({player.get(), Clock::now(), -1, {}, {}});
        }
        const auto start = Clock::now();
        double nextSecond = 1;
        std::vector<std::pair<double, Seen>> history;
        while (SecondsSince(start) < seconds) {
            std::this_thread::sleep_for(100ms);
            for (Watch& watch : watches) {
                watch.last = watch.player->Look();
                if (watch.firstPicture < 0 && watch.last.pictures > 0)
                    watch.firstPicture = SecondsSince(watch.started);
            }
            if (SecondsSince(start) >= seconds - 10 && watches[0].tenSecondsBefore.pictures == 0) {
                for (Watch& watch : watches) watch.tenSecondsBefore = watch.last;
            }
            if (during && SecondsSince(start) >= nextSecond) {
                during(SecondsSince(start));
                ++nextSecond;
            }
        }
        return watches;
    }

    // Each player showed its first picture in time, and pictures and sound
    // until the end; the sound is the test microphone's tone.
    void ExpectPlayedThrough(const char* run, const std::vector<Watch>& watches, double seconds) {
        for (const Watch& watch : watches) {
            SCOPED_TRACE(std::string(watch.player->Name()) + ", " + run);
            const Seen& end = watch.last;
            const Seen& before = watch.tenSecondsBefore;
            std::printf("%-18s %-26s first picture %5.2f s, %5ld pictures, %5.1f s of sound\n",
                        watch.player->Name(), run, watch.firstPicture, end.pictures,
                        end.soundSeconds);
            EXPECT_GE(watch.firstPicture, 0) << "no picture at all\n" << watch.player->Log();
            EXPECT_LE(watch.firstPicture, std::chrono::duration<double>(kFirstPictureLimit).count())
                << "the first picture came late";
            EXPECT_FALSE(end.ended) << "it stopped playing\n" << watch.player->Log();
            // Pictures and sound at the broadcast's pace through the last ten
            // seconds, and sound for nearly all of the time.
            EXPECT_GE(end.pictures - before.pictures, 10 * kFramesPerSecond * 8 / 10);
            EXPECT_GE(end.soundSeconds - before.soundSeconds, 8.0);
            EXPECT_GE(end.soundSeconds, seconds - 8);
            const std::vector<std::int16_t> sound = watch.player->Sound();
            ASSERT_GT(sound.size(), 44100u * 5);
            const testsupport::Tone tone =
                testsupport::MeasureTone(sound, sound.size() - 44100 * 5, 44100 * 4);
            EXPECT_NEAR(tone.hertz, 440, 20) << "the test microphone's tone, rms " << tone.rms;
            EXPECT_GT(tone.share, 0.5);
        }
    }

    testsupport::TempFolder temp_{"lumaplayers-e2e"};
    fs::path folder_ = temp_.Path();
    fs::path program_;
    std::vector<std::unique_ptr<Player>> players_ = [this] {
        std::vector<std::unique_ptr<Player>> players;
        players.push_back(std::make_unique<VlcPlayer>("VLC over http", folder_, "http"));
        players.push_back(std::make_unique<VlcPlayer>("VLC over mmsh", folder_, "mmsh"));
        players.push_back(std::make_unique<PlaybinPlayer>());
        players.push_back(std::make_unique<MpvPlayer>("mpv", folder_));
        players.push_back(std::make_unique<FfplayPlayer>("ffplay", folder_));
        return players;
    }();
    std::string url_;
    pid_t program_pid_ = -1;
    std::vector<std::size_t> launches_;
};

TEST_F(PlayerTableTest, EveryPlayerPlaysABroadcastThroughAndARestartedOneAgain) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    // A broadcast that has run a minute: its times are well past their start.
    std::this_thread::sleep_for(60s);

    constexpr double kSeconds = 60;
    bool refused = false;
    const auto watches = PlayAll(kSeconds, [&](double elapsed) {
        if (elapsed < 20 || refused) return;
        // Every place is taken: one more viewer is turned away as ever.
        const std::string answer =
            testsupport::Fetch(g_settings.asfPort, "GET /MyFile.wma HTTP/1.0\r\n\r\n", 2000);
        refused = answer.find("503") != std::string::npos;
    });
    ExpectPlayedThrough("after a minute", watches, kSeconds);
    EXPECT_TRUE(refused) << "a viewer beyond the limit was let in";
    const auto counts = ViewerCounts();
    EXPECT_NE(std::find(counts.begin(), counts.end(), std::to_string(players_.size())),
              counts.end())
        << "the viewer count never showed every player";
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.back(), std::to_string(players_.size())) << "a player left early";

    // The broadcast stops under the players and starts again: each stops or
    // goes on, but none hangs; then each plays the new broadcast. (Right at
    // its first second there is nothing yet to join with, and players on
    // FFmpeg wait for their forty pictures.)
    kill(program_pid_, SIGTERM);
    const auto stopped = Clock::now();
    while (SecondsSince(stopped) < 15) {
        if (std::all_of(players_.begin(), players_.end(),
                        [](const auto& player) { return player->Look().ended; }))
            break;
        std::this_thread::sleep_for(100ms);
    }
    for (const auto& player : players_) {
        EXPECT_TRUE(player->Look().ended) << player->Name() << " hangs on a broadcast that ended\n"
                                          << player->Log();
        player->Stop();
    }
    testsupport::StopGroup(program_pid_);
    ASSERT_NO_FATAL_FAILURE(Launch());
    std::this_thread::sleep_for(5s);
    ExpectPlayedThrough("after a restart", PlayAll(20), 20);
}

// Over HTTPS, with the program's own certificate, which each player that
// checks certificates has been told to trust.
TEST_F(PlayerTableTest, EveryPlayerPlaysOverHttpsWithTheProgramsOwnCertificate) {
    testsupport::WriteWholeFile(program_ / "access.cfg", "viewers=everyone\ntls=1\n");
    players_.clear();
    players_.push_back(std::make_unique<VlcPlayer>("VLC over https", folder_, "https"));
    players_.push_back(std::make_unique<PlaybinPlayer>());
    players_.push_back(std::make_unique<FfplayPlayer>("ffplay", folder_));
    ASSERT_NO_FATAL_FAILURE(Launch());
    for (const auto& player : players_) player->Trust(program_ / "tls-certificate.pem");
    url_ = "https://127.0.0.1:" + std::to_string(g_settings.asfPort);
    std::this_thread::sleep_for(5s);
    ExpectPlayedThrough("over https", PlayAll(20), 20);
}

}  // namespace
