// lumastream: a live test stream from libwmvcore, and its benchmark.
//
//   lumastream serve PORT SECONDS [WIDTH HEIGHT VIEWERS [CERTIFICATE KEY]]
//       serves a moving test picture with a tone on PORT (0: any) for SECONDS,
//       at 320x240 to 10 viewers unless told; play it with:
//       ffplay http://127.0.0.1:PORT/MyFile.wma
//       With a certificate and its key (PEM files), the port speaks TLS:
//       ffplay https://127.0.0.1:PORT/MyFile.wma
//   lumastream bench WIDTH HEIGHT SECONDS VIEWERS
//       WMV 8 at 1 Mbit/s with WMA 2 at 30 frames per second to VIEWERS
//       loopback viewers (a separate process), then the same frames through
//       the ffmpeg command line to ASF on /dev/null. Prints CPU time per frame
//       of both, their ratio, and the latency from WriteSample to the first
//       byte of that frame's packet at the viewers. Audio is written in chunks
//       of 1024 samples.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "web/TlsContext.h"
#include "wmvcore/wmvcore.h"

using namespace wmv;

namespace {

constexpr int kFps = 30;
constexpr std::uint32_t kVideoBitrate = 1000000;
// The writer adds this to every presentation time.
constexpr std::int64_t kTimeOffsetMs = 3100;

std::int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double CpuSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// A few distinct frames (bottom-up BGR): coloured quadrants and a moving bar.
std::vector<std::vector<std::uint8_t>> MakeFrames(int width, int height, int count) {
    std::vector<std::vector<std::uint8_t>> frames(static_cast<std::size_t>(count));
    const int stride = (width * 3 + 3) & ~3;
    for (int f = 0; f < count; ++f) {
        auto& frame = frames[static_cast<std::size_t>(f)];
        frame.assign(static_cast<std::size_t>(stride) * height, 0);
        for (int row = 0; row < height; ++row) {
            const int y = height - 1 - row;
            for (int x = 0; x < width; ++x) {
                std::uint8_t* px = &frame[static_cast<std::size_t>(row) * stride + x * 3];
                const bool top = y < height / 2, left = x < width / 2;
                int r = top && left ? 255 : 0, g = top && !left ? 255 : 0,
                    b = !top && left ? 255 : 0;
                if (!top && !left) r = g = b = 255;
                r = (r + x * 7 + f * 5) & 0xFF;  // some texture so the encoder works
                if (std::abs(x - (f * 16) % width) < 20) r = g = b = 128;
                px[0] = static_cast<std::uint8_t>(b);
                px[1] = static_cast<std::uint8_t>(g);
                px[2] = static_cast<std::uint8_t>(r);
            }
        }
    }
    return frames;
}

std::vector<std::int16_t> Tone(const WAVEFORMATEX& wave, int samples) {
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(samples) * wave.nChannels);
    for (int i = 0; i < samples; ++i) {
        const auto v =
            static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440.0 * i / wave.nSamplesPerSec));
        for (int c = 0; c < wave.nChannels; ++c)
            pcm[static_cast<std::size_t>(i) * wave.nChannels + c] = v;
    }
    return pcm;
}

template <typename T>
RefPtr<T> Adopt(T* raw) {
    return RefPtr<T>::Adopt(raw);
}

// Builds the profile: WMV 8 of the size at 30 fps, WMA 2 in its first format.
RefPtr<IWMProfile> BuildProfile(int width, int height, WAVEFORMATEX* wave) {
    IWMProfileManager* rawManager = nullptr;
    if (FAILED(WMCreateProfileManager(&rawManager))) return nullptr;
    auto manager = Adopt(rawManager);
    IWMProfile* rawProfile = nullptr;
    manager->CreateEmptyProfile(WMT_VER_9_0, &rawProfile);
    auto profile = Adopt(rawProfile);
    IWMCodecInfo* rawInfo = nullptr;
    manager->QueryInterface(&rawInfo);
    auto info = Adopt(rawInfo);
    for (const GUID* type : {&WMMEDIATYPE_Video, &WMMEDIATYPE_Audio}) {
        IWMStreamConfig* rawConfig = nullptr;
        if (FAILED(info->GetCodecFormat(*type, 0, 0, &rawConfig))) return nullptr;
        auto config = Adopt(rawConfig);
        IWMMediaProps* rawProps = nullptr;
        config->QueryInterface(&rawProps);
        auto props = Adopt(rawProps);
        std::uint32_t size = 0;
        props->GetMediaType(nullptr, &size);
        std::vector<std::uint8_t> buffer(size);
        auto* mediaType = reinterpret_cast<WM_MEDIA_TYPE*>(buffer.data());
        props->GetMediaType(mediaType, &size);
        if (type == &WMMEDIATYPE_Video) {
            auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mediaType->pbFormat);
            vih->rcSource = vih->rcTarget = RECT{0, 0, width, height};
            vih->bmiHeader.biWidth = width;
            vih->bmiHeader.biHeight = height;
            vih->dwBitRate = kVideoBitrate;
            vih->AvgTimePerFrame = 10000000 / kFps;
            props->SetMediaType(mediaType);
            config->SetBitrate(kVideoBitrate);
            IWMVideoMediaProps* rawVideo = nullptr;
            config->QueryInterface(&rawVideo);
            rawVideo->SetQuality(85);
            rawVideo->SetMaxKeyFrameSpacing(30000000);
            rawVideo->Release();
        } else {
            std::memcpy(wave, mediaType->pbFormat, sizeof(WAVEFORMATEX));
        }
        IWMStreamConfig* fresh = nullptr;
        profile->CreateNewStream(*type, &fresh);
        std::uint16_t number = 0;
        fresh->GetStreamNumber(&number);
        fresh->Release();
        config->SetStreamNumber(number);
        config->SetStreamName(type == &WMMEDIATYPE_Video ? L"Camera" : L"Microphone");
        config->SetConnectionName(L"Live");
        if (FAILED(profile->AddStream(config.Get()))) return nullptr;
    }
    return profile;
}

struct Live {
    RefPtr<IWMWriter> writer;
    RefPtr<IWMWriterAdvanced> advanced;
    RefPtr<IWMWriterNetworkSink> sink;
    std::uint32_t port = 0;
    WAVEFORMATEX wave{};
};

bool StartLive(Live& live, int width, int height, std::uint32_t port, std::uint32_t maxClients,
               TlsContext* tls = nullptr) {
    IWMWriter* rawWriter = nullptr;
    if (FAILED(WMCreateWriter(nullptr, &rawWriter))) return false;
    live.writer = Adopt(rawWriter);
    IWMWriterAdvanced* rawAdvanced = nullptr;
    live.writer->QueryInterface(&rawAdvanced);
    live.advanced = Adopt(rawAdvanced);
    IWMWriterNetworkSink* rawSink = nullptr;
    WMCreateWriterNetworkSink(&rawSink);
    live.sink = Adopt(rawSink);
    if (tls) {
        IWMViewerAccess* rawAccess = nullptr;
        live.sink->QueryInterface(&rawAccess);
        auto access = Adopt(rawAccess);
        access->SetTls([tls] { return tls->Current().release(); });
    }
    live.port = port;
    if (FAILED(live.sink->Open(&live.port))) {
        std::fprintf(stderr, "cannot open port %u\n", port);
        return false;
    }
    live.sink->SetMaximumClients(maxClients);
    live.advanced->SetLiveSource(1);
    live.advanced->SetSyncTolerance(100);
    live.advanced->AddSink(live.sink.Get());
    auto profile = BuildProfile(width, height, &live.wave);
    return profile && SUCCEEDED(live.writer->SetProfile(profile.Get())) &&
           SUCCEEDED(live.writer->BeginWriting());
}

void StopLive(Live& live) {
    live.writer->Flush();
    live.writer->EndWriting();
    live.advanced->RemoveSink(live.sink.Get());
    live.sink->Close();
}

// Feeds the frames in turn and the tone in real time for `seconds`; records
// when each frame was written (index = frame number).
void Feed(IWMWriter* writer, const std::vector<std::vector<std::uint8_t>>& frames,
          const WAVEFORMATEX& wave, double seconds, std::vector<std::int64_t>* writtenAt) {
    // Audio arrives as a capture delivers it: 1024 samples at a time.
    const int chunkSamples = 1024;
    const auto tone = Tone(wave, chunkSamples);
    INSSBuffer *rawVideo = nullptr, *rawAudio = nullptr;
    writer->AllocateSample(static_cast<std::uint32_t>(frames[0].size()), &rawVideo);
    writer->AllocateSample(500000, &rawAudio);
    auto video = Adopt(rawVideo);
    auto audio = Adopt(rawAudio);
    std::uint8_t *videoData = nullptr, *audioData = nullptr;
    video->GetBuffer(&videoData);
    audio->GetBuffer(&audioData);
    const std::int64_t start = NowNs();
    const int totalFrames = static_cast<int>(seconds * kFps);
    int chunk = 0;
    for (int frame = 0; frame < totalFrames; ++frame) {
        const std::int64_t due = start + static_cast<std::int64_t>(frame) * 1000000000 / kFps;
        const std::int64_t wait = due - NowNs();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        // Each chunk goes out once all of its samples would have been captured.
        while (static_cast<std::int64_t>(chunk + 1) * chunkSamples * 1000000000 /
                   wave.nSamplesPerSec <=
               NowNs() - start) {
            std::memcpy(audioData, tone.data(), tone.size() * 2);
            audio->SetLength(static_cast<std::uint32_t>(tone.size() * 2));
            const std::uint64_t time =
                static_cast<std::uint64_t>(chunk) * chunkSamples * 10000000 / wave.nSamplesPerSec;
            writer->WriteSample(1, time, 0, audio.Get());
            ++chunk;
        }
        const auto& picture = frames[static_cast<std::size_t>(frame) % frames.size()];
        std::memcpy(videoData, picture.data(), picture.size());
        const std::int64_t before = NowNs();
        writer->WriteSample(0, static_cast<std::uint64_t>(frame) * 10000000 / kFps, 0, video.Get());
        if (writtenAt) (*writtenAt)[static_cast<std::size_t>(frame)] = before;
    }
}

// ---- Viewers (a child process): plain HTTP clients that note when the first
// byte of each video frame's packet arrives.

struct Viewer {
    int fd = -1;
    std::string buffer;
    bool inBody = false;
    std::size_t headerLeft = 0;
    std::size_t packetSize = 0;
};

std::uint32_t Le(const std::uint8_t* p, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t(p[i]) << (8 * i);
    return v;
}

// When the first byte of a video frame's packet reached a viewer.
struct Arrival {
    std::uint32_t presentation;  // ms, as in the packet
    std::int64_t arrived;        // monotonic ns
};

// Presentation times (ms) of the video frames that start in this packet.
void FrameStarts(const std::uint8_t* p, std::size_t size, std::uint16_t videoStream,
                 std::vector<std::uint32_t>* times) {
    auto field = [](unsigned type) -> std::size_t { return type == 3 ? 4 : type; };
    std::size_t pos = (p[0] & 0x80) ? 1 + (p[0] & 0x0F) : 0;
    const unsigned lengthFlags = p[pos], propertyFlags = p[pos + 1];
    pos += 2 + field((lengthFlags >> 5) & 3) + field((lengthFlags >> 1) & 3) +
           field((lengthFlags >> 3) & 3) + 6;
    unsigned count = 1;
    std::size_t lengthSize = 0;
    const bool multiple = lengthFlags & 1;
    if (multiple) {
        count = p[pos] & 0x3F;
        lengthSize = field((p[pos] >> 6) & 3);
        ++pos;
    }
    for (unsigned i = 0; i < count && pos < size; ++i) {
        const unsigned stream = p[pos++];
        pos += field((propertyFlags >> 4) & 3);
        const std::uint32_t offset = Le(p + pos, field((propertyFlags >> 2) & 3));
        pos += field((propertyFlags >> 2) & 3);
        const std::uint32_t replicated = Le(p + pos, field(propertyFlags & 3));
        pos += field(propertyFlags & 3);
        const std::uint32_t presentation = replicated >= 8 ? Le(p + pos + 4, 4) : 0;
        pos += replicated;
        std::uint32_t length = static_cast<std::uint32_t>(size - pos);
        if (multiple) {
            length = Le(p + pos, lengthSize);
            pos += lengthSize;
        }
        if ((stream & 0x7F) == videoStream && offset == 0) times->push_back(presentation);
        pos += length;
    }
}

int RunViewers(std::uint32_t port, int count, double seconds, int resultFd) {
    std::vector<Viewer> viewers(static_cast<std::size_t>(count));
    for (Viewer& v : viewers) {
        v.fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(v.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) return 1;
        const char request[] = "GET /MyFile.wma HTTP/1.0\r\n\r\n";
        ::send(v.fd, request, sizeof(request) - 1, MSG_NOSIGNAL);
    }
    // (frame time ms, arrival ns) pairs of all viewers.
    std::vector<Arrival> arrivals;
    arrivals.reserve(static_cast<std::size_t>(count * seconds * kFps * 1.2));
    std::vector<pollfd> fds(viewers.size());
    std::vector<std::uint8_t> chunk(1 << 16);
    std::vector<std::uint32_t> times;
    const std::int64_t end = NowNs() + static_cast<std::int64_t>((seconds + 3) * 1e9);
    while (NowNs() < end) {
        for (std::size_t i = 0; i < viewers.size(); ++i) fds[i] = {viewers[i].fd, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
        for (std::size_t i = 0; i < viewers.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            Viewer& v = viewers[i];
            const ssize_t n = ::recv(v.fd, chunk.data(), chunk.size(), 0);
            if (n <= 0) continue;
            const std::int64_t now = NowNs();
            v.buffer.append(reinterpret_cast<const char*>(chunk.data()),
                            static_cast<std::size_t>(n));
            if (!v.inBody) {
                const std::size_t head = v.buffer.find("\r\n\r\n");
                if (head == std::string::npos || v.buffer.size() < head + 4 + 30) continue;
                v.buffer.erase(0, head + 4);
                const auto* h = reinterpret_cast<const std::uint8_t*>(v.buffer.data());
                std::uint64_t headerSize = 0;
                std::memcpy(&headerSize, h + 16, 8);
                v.headerLeft = static_cast<std::size_t>(headerSize) + 50;
                v.inBody = true;
                v.packetSize = 0;
            }
            if (!v.packetSize) {
                if (v.buffer.size() < v.headerLeft) continue;
                // The file properties object's packet size.
                const std::string guid(
                    "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16);
                const std::size_t at = v.buffer.find(guid);
                if (at == std::string::npos) return 1;
                v.packetSize =
                    Le(reinterpret_cast<const std::uint8_t*>(v.buffer.data()) + at + 92, 4);
                v.buffer.erase(0, v.headerLeft);
            }
            // Whole packets; a frame's packet counts from the read that
            // brought its first byte, which is this read for every packet
            // completed now (packets are smaller than one read).
            while (v.buffer.size() >= v.packetSize) {
                times.clear();
                FrameStarts(reinterpret_cast<const std::uint8_t*>(v.buffer.data()), v.packetSize, 1,
                            &times);
                for (std::uint32_t t : times) arrivals.push_back(Arrival{t, now});
                v.buffer.erase(0, v.packetSize);
            }
        }
    }
    const std::size_t bytes = arrivals.size() * sizeof(arrivals[0]);
    const auto* data = reinterpret_cast<const char*>(arrivals.data());
    for (std::size_t done = 0; done < bytes;) {
        const ssize_t n = ::write(resultFd, data + done, bytes - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int Serve(std::uint32_t port, double seconds, int width, int height, int viewers,
          const std::string& certificate, const std::string& key) {
    std::unique_ptr<TlsContext> tls;
    if (!certificate.empty()) {
        std::string error;
        tls = TlsContext::Open(certificate, key, std::string(), {}, &error);
        if (!tls) {
            std::fprintf(stderr, "lumastream: %s\n", error.c_str());
            return 1;
        }
    }
    Live live;
    if (!StartLive(live, width, height, port, static_cast<std::uint32_t>(viewers), tls.get()))
        return 1;
    std::printf("serving %s://127.0.0.1:%u/MyFile.wma for %.0f s\n", tls ? "https" : "http",
                live.port, seconds);
    std::fflush(stdout);
    Feed(live.writer.Get(), MakeFrames(width, height, 60), live.wave, seconds, nullptr);
    StopLive(live);
    return 0;
}

int Bench(int width, int height, double seconds, int viewerCount) {
    // The viewers' process is forked before the writer starts its threads;
    // it learns the port through a pipe and reports through another.
    int pipeFds[2], portFds[2];
    if (::pipe(pipeFds) < 0 || ::pipe(portFds) < 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        ::close(portFds[1]);
        std::uint32_t port = 0;
        if (::read(portFds[0], &port, sizeof(port)) != sizeof(port)) _exit(1);
        _exit(RunViewers(port, viewerCount, seconds, pipeFds[1]));
    }
    ::close(pipeFds[1]);
    ::close(portFds[0]);
    Live live;
    if (!StartLive(live, width, height, 0, static_cast<std::uint32_t>(viewerCount))) {
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
        return 1;
    }
    [[maybe_unused]] ssize_t sent = ::write(portFds[1], &live.port, sizeof(live.port));
    ::close(portFds[1]);
    // Let the viewers connect before the clock starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int totalFrames = static_cast<int>(seconds * kFps);
    std::vector<std::int64_t> writtenAt(static_cast<std::size_t>(totalFrames), 0);
    // The pictures are made before the clock starts, for both sides.
    const auto frames = MakeFrames(width, height, 60);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    Feed(live.writer.Get(), frames, live.wave, seconds, &writtenAt);
    live.writer->Flush();
    getrusage(RUSAGE_SELF, &after);
    const double ours = (CpuSeconds(after) - CpuSeconds(before)) / totalFrames;
    std::vector<Arrival> arrivals;
    std::vector<char> raw;
    char buffer[65536];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0;)
        raw.insert(raw.end(), buffer, buffer + n);
    ::close(pipeFds[0]);
    ::waitpid(child, nullptr, 0);
    StopLive(live);
    arrivals.resize(raw.size() / sizeof(arrivals[0]));
    std::memcpy(arrivals.data(), raw.data(), arrivals.size() * sizeof(arrivals[0]));

    std::vector<double> latencies;
    for (const Arrival& a : arrivals) {
        const std::int64_t ms = static_cast<std::int64_t>(a.presentation) - kTimeOffsetMs;
        const auto frame = static_cast<std::size_t>(std::llround(ms * kFps / 1000.0));
        if (ms < 0 || frame >= writtenAt.size() || !writtenAt[frame]) continue;
        latencies.push_back((a.arrived - writtenAt[frame]) / 1e6);
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        return latencies.empty()
                   ? 0.0
                   : latencies[std::min(latencies.size() - 1,
                                        static_cast<std::size_t>(p * latencies.size()))];
    };

    // The same frames and tone through the ffmpeg command line.
    char toneFile[] = "/tmp/lumastream-tone-XXXXXX";
    const int toneFd = ::mkstemp(toneFile);
    const auto tone = Tone(live.wave, static_cast<int>(live.wave.nSamplesPerSec * seconds));
    [[maybe_unused]] ssize_t written = ::write(toneFd, tone.data(), tone.size() * 2);
    ::close(toneFd);
    char command[1024];
    std::snprintf(
        command, sizeof(command),
        "ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgr24 -s %dx%d -framerate %d -i pipe:0 "
        "-f s16le -ar %u -ac %u -i %s -vf vflip -c:v wmv2 -b:v %u -g %d -c:a wmav2 -b:a %u "
        "-f asf -y /dev/null",
        width, height, kFps, live.wave.nSamplesPerSec, live.wave.nChannels, toneFile, kVideoBitrate,
        kFps * 3, live.wave.nAvgBytesPerSec * 8);
    int input[2];
    if (::pipe(input) < 0) return 1;
    const pid_t ffmpeg = ::fork();
    if (ffmpeg == 0) {
        ::dup2(input[0], 0);
        ::close(input[0]);
        ::close(input[1]);
        ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(input[0]);
    for (int f = 0; f < totalFrames; ++f) {
        const auto& picture = frames[static_cast<std::size_t>(f) % frames.size()];
        // ffmpeg reads unpadded rows; every size here is a multiple of 4.
        for (std::size_t done = 0; done < picture.size();) {
            const ssize_t n = ::write(input[1], picture.data() + done, picture.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
    ::close(input[1]);
    int status = 0;
    rusage ffmpegUsage{};
    ::wait4(ffmpeg, &status, 0, &ffmpegUsage);
    ::unlink(toneFile);
    const double theirs = CpuSeconds(ffmpegUsage) / totalFrames;

    std::printf(
        "%4dx%-4d %3d viewers: lumacast %.2f ms CPU/frame, ffmpeg %.2f ms CPU/frame, ratio %.2f; "
        "latency median %.1f ms, p99 %.1f ms (%zu samples)\n",
        width, height, viewerCount, ours * 1e3, theirs * 1e3, theirs > 0 ? ours / theirs : 0.0,
        percentile(0.5), percentile(0.99), latencies.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && (argc == 4 || argc == 7 || argc == 9))
        return Serve(static_cast<std::uint32_t>(std::atoi(argv[2])), std::atof(argv[3]),
                     argc >= 7 ? std::atoi(argv[4]) : 320, argc >= 7 ? std::atoi(argv[5]) : 240,
                     argc >= 7 ? std::atoi(argv[6]) : 10, argc == 9 ? argv[7] : "",
                     argc == 9 ? argv[8] : "");
    if (mode == "bench" && argc == 6)
        return Bench(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]),
                     std::atoi(argv[5]));
    std::fprintf(stderr,
                 "usage: lumastream serve PORT SECONDS [WIDTH HEIGHT VIEWERS [CERTIFICATE KEY]]\n"
                 "       lumastream bench WIDTH HEIGHT SECONDS VIEWERS\n");
    return 2;
}
