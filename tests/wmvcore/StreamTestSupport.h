#pragma once
// Helpers of the runtime tests: a profile builder, a live feeder that writes
// a test picture and a tone in real time, a sink that keeps what it gets, a
// reader of data packets, loopback sockets and independent clients (ffprobe,
// ffmpeg) run as commands.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueHandle.h"
#include "tests/support/Commands.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Wait.h"
#include "wmvcore/wmvcore.h"

namespace wmvtest {

using namespace wmv;

// Builds a profile with an optional video stream (codec index, size, fps,
// bit rate) and an optional audio stream (codec and format index).
struct StreamShape {
    int videoCodec = 0;  // -1: no video
    int width = 320;
    int height = 240;
    int fps = 15;
    std::uint32_t bitrate = 400000;
    int audioCodec = 0;  // -1: no audio
    int audioFormat = 0;
    std::int64_t keySpacing = 10000000;  // 100-ns units; 1 s keeps late joins quick
};

inline RefPtr<IWMProfile> BuildProfile(const StreamShape& shape, WAVEFORMATEX* wave = nullptr) {
    IWMProfileManager* rawManager = nullptr;
    if (FAILED(WMCreateProfileManager(&rawManager))) return nullptr;
    auto manager = RefPtr<IWMProfileManager>::Adopt(rawManager);
    IWMProfile* rawProfile = nullptr;
    if (FAILED(manager->CreateEmptyProfile(WMT_VER_9_0, &rawProfile))) return nullptr;
    auto profile = RefPtr<IWMProfile>::Adopt(rawProfile);
    IWMCodecInfo* rawInfo = nullptr;
    if (FAILED(manager->QueryInterface(&rawInfo))) return nullptr;
    auto info = RefPtr<IWMCodecInfo>::Adopt(rawInfo);

    auto add = [&](const GUID& type, int codec, int format, bool video) -> bool {
        IWMStreamConfig* rawConfig = nullptr;
        if (FAILED(info->GetCodecFormat(type, codec, format, &rawConfig))) return false;
        auto config = RefPtr<IWMStreamConfig>::Adopt(rawConfig);
        IWMMediaProps* rawProps = nullptr;
        if (FAILED(config->QueryInterface(&rawProps))) return false;
        auto props = RefPtr<IWMMediaProps>::Adopt(rawProps);
        std::uint32_t size = 0;
        props->GetMediaType(nullptr, &size);
        std::vector<std::uint8_t> buffer(size);
        auto* mediaType = reinterpret_cast<WM_MEDIA_TYPE*>(buffer.data());
        if (FAILED(props->GetMediaType(mediaType, &size))) return false;
        if (video) {
            auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mediaType->pbFormat);
            vih->rcSource = vih->rcTarget = RECT{0, 0, shape.width, shape.height};
            vih->bmiHeader.biWidth = shape.width;
            vih->bmiHeader.biHeight = shape.height;
            vih->dwBitRate = shape.bitrate;
            vih->AvgTimePerFrame = 10000000 / shape.fps;
            if (FAILED(props->SetMediaType(mediaType))) return false;
            config->SetBitrate(shape.bitrate);
            IWMVideoMediaProps* rawVideo = nullptr;
            if (FAILED(config->QueryInterface(&rawVideo))) return false;
            auto videoProps = RefPtr<IWMVideoMediaProps>::Adopt(rawVideo);
            videoProps->SetQuality(85);
            videoProps->SetMaxKeyFrameSpacing(shape.keySpacing);
        } else if (wave) {
            std::memcpy(wave, mediaType->pbFormat, sizeof(WAVEFORMATEX));
        }
        IWMStreamConfig* rawNew = nullptr;
        if (FAILED(profile->CreateNewStream(type, &rawNew))) return false;
        std::uint16_t number = 0;
        rawNew->GetStreamNumber(&number);
        rawNew->Release();
        config->SetStreamNumber(number);
        config->SetStreamName(video ? L"Camera" : L"Microphone");
        config->SetConnectionName(L"Live");
        return SUCCEEDED(profile->AddStream(config.Get()));
    };
    if (shape.videoCodec >= 0 && !add(WMMEDIATYPE_Video, shape.videoCodec, 0, true)) return nullptr;
    if (shape.audioCodec >= 0 &&
        !add(WMMEDIATYPE_Audio, shape.audioCodec, shape.audioFormat, false))
        return nullptr;
    return profile;
}

// The test picture: four coloured quadrants (red, green / blue, white, as
// seen upright) and a grey bar that moves across the middle band. Written
// bottom-up in BGR order, rows padded to four bytes, as a capture delivers.
inline void DrawPicture(std::uint8_t* bgr, int width, int height, int frame) {
    const int stride = (width * 3 + 3) & ~3;
    for (int row = 0; row < height; ++row) {
        const int y = height - 1 - row;  // upright row of this buffer row
        std::uint8_t* line = bgr + static_cast<std::size_t>(row) * stride;
        for (int x = 0; x < width; ++x) {
            std::uint8_t r, g, b;
            const bool top = y < height / 2, left = x < width / 2;
            if (top && left)
                r = 255, g = 0, b = 0;
            else if (top)
                r = 0, g = 255, b = 0;
            else if (left)
                r = 0, g = 0, b = 255;
            else
                r = g = b = 255;
            if (y > height * 9 / 20 && y < height * 11 / 20 &&
                std::abs(x - (frame * 8) % width) < 12)
                r = g = b = 128;
            line[x * 3] = b;
            line[x * 3 + 1] = g;
            line[x * 3 + 2] = r;
        }
    }
}

// Writes the picture and a 440 Hz tone into the writer in real time until
// stopped; sample times come from a monotonic clock started at Start.
class LiveFeeder {
  public:
    LiveFeeder(IWMWriter* writer, int videoInput, int audioInput, int width, int height, int fps,
               const WAVEFORMATEX& wave)
        : writer_(writer),
          videoInput_(videoInput),
          audioInput_(audioInput),
          width_(width),
          height_(height),
          fps_(fps),
          wave_(wave) {}
    ~LiveFeeder() { Stop(); }

    void Start() {
        running_ = true;
        start_ = std::chrono::steady_clock::now();
        if (videoInput_ >= 0) video_ = std::thread([this] { VideoLoop(); });
        if (audioInput_ >= 0) audio_ = std::thread([this] { AudioLoop(); });
    }
    void Stop() {
        running_ = false;
        if (video_.joinable()) video_.join();
        if (audio_.joinable()) audio_.join();
    }
    int Failures() const { return failures_; }

  private:
    std::uint64_t Now() const {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - start_)
                                              .count() *
                                          10);
    }
    void VideoLoop() {
        const std::uint32_t size = static_cast<std::uint32_t>(((width_ * 3 + 3) & ~3) * height_);
        INSSBuffer* raw = nullptr;
        if (FAILED(writer_->AllocateSample(size, &raw))) return;
        auto sample = RefPtr<INSSBuffer>::Adopt(raw);
        std::uint8_t* data = nullptr;
        sample->GetBuffer(&data);
        for (int frame = 0; running_; ++frame) {
            DrawPicture(data, width_, height_, frame);
            if (FAILED(writer_->WriteSample(static_cast<std::uint32_t>(videoInput_), Now(), 0,
                                            sample.Get())))
                ++failures_;
            std::this_thread::sleep_until(
                start_ + std::chrono::microseconds(1000000LL * (frame + 1) / fps_));
        }
    }
    void AudioLoop() {
        INSSBuffer* raw = nullptr;
        if (FAILED(writer_->AllocateSample(500000, &raw))) return;
        auto sample = RefPtr<INSSBuffer>::Adopt(raw);
        std::uint8_t* data = nullptr;
        sample->GetBuffer(&data);
        const int perChunk = static_cast<int>(wave_.nSamplesPerSec / 10);  // 100 ms
        std::int64_t done = 0;
        for (int chunk = 0; running_; ++chunk) {
            auto* pcm = reinterpret_cast<std::int16_t*>(data);
            for (int i = 0; i < perChunk; ++i, ++done) {
                const auto v = static_cast<std::int16_t>(
                    8000 * std::sin(2 * M_PI * 440.0 * done / wave_.nSamplesPerSec));
                for (int c = 0; c < wave_.nChannels; ++c) *pcm++ = v;
            }
            sample->SetLength(static_cast<std::uint32_t>(perChunk * wave_.nChannels * 2));
            if (FAILED(writer_->WriteSample(static_cast<std::uint32_t>(audioInput_), Now(), 0,
                                            sample.Get())))
                ++failures_;
            std::this_thread::sleep_until(start_ + std::chrono::milliseconds(100LL * (chunk + 1)));
        }
    }

    IWMWriter* writer_;
    int videoInput_, audioInput_, width_, height_, fps_;
    WAVEFORMATEX wave_;
    std::atomic<bool> running_{false};
    std::atomic<int> failures_{0};
    std::chrono::steady_clock::time_point start_;
    std::thread video_, audio_;
};

// One payload of a data packet, read by the length types its flags give.
struct PayloadView {
    std::uint8_t stream = 0;  // without the key-frame bit
    bool key = false;
    std::uint32_t object = 0;  // media object number
    std::uint32_t offset = 0;  // into the media object
    std::uint32_t objectSize = 0;
    std::uint32_t time = 0;  // presentation time, ms
    std::vector<std::uint8_t> data;
};

struct PacketView {
    bool valid = false;
    std::uint32_t sendTime = 0;
    std::uint32_t duration = 0;
    std::uint32_t padding = 0;
    std::vector<PayloadView> payloads;
};

inline PacketView ReadPacket(const std::uint8_t* p, std::size_t size) {
    PacketView view;
    std::size_t pos = 0;
    auto field = [](unsigned type) -> std::size_t { return type == 3 ? 4 : type; };
    auto read = [&](std::size_t width, std::uint32_t* value) {
        if (pos + width > size) return false;
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < width; ++i) v |= std::uint32_t(p[pos + i]) << (8 * i);
        pos += width;
        *value = v;
        return true;
    };
    std::uint32_t first = 0, lengthFlags = 0, propertyFlags = 0, ignored = 0;
    if (!read(1, &first)) return view;
    // Error correction data, or no such field and the flags come first.
    pos = (first & 0x80) ? pos + (first & 0x0F) : 0;
    if (!read(1, &lengthFlags) || !read(1, &propertyFlags) ||
        !read(field((lengthFlags >> 5) & 3), &ignored) ||  // packet length
        !read(field((lengthFlags >> 1) & 3), &ignored) ||  // sequence
        !read(field((lengthFlags >> 3) & 3), &view.padding) || !read(4, &view.sendTime) ||
        !read(2, &view.duration))
        return view;
    const bool multiple = lengthFlags & 1;
    std::uint32_t count = 1, payloadFlags = 0;
    if (multiple) {
        if (!read(1, &payloadFlags)) return view;
        count = payloadFlags & 0x3F;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        PayloadView payload;
        std::uint32_t streamByte = 0, replicated = 0, length = 0;
        if (!read(1, &streamByte) || !read(field((propertyFlags >> 4) & 3), &payload.object) ||
            !read(field((propertyFlags >> 2) & 3), &payload.offset) ||
            !read(field(propertyFlags & 3), &replicated) || replicated < 8 ||
            !read(4, &payload.objectSize) || !read(4, &payload.time))
            return view;
        pos += replicated - 8;
        if (multiple) {
            if (!read(field((payloadFlags >> 6) & 3), &length)) return view;
        } else {
            length = static_cast<std::uint32_t>(size - pos - view.padding);
        }
        if (pos + length > size) return view;
        payload.stream = static_cast<std::uint8_t>(streamByte & 0x7F);
        payload.key = streamByte & 0x80;
        payload.data.assign(p + pos, p + pos + length);
        pos += length;
        view.payloads.push_back(std::move(payload));
    }
    view.valid = pos + view.padding == size;
    return view;
}

// A sink that keeps the header and every packet: the ASF file the writer made.
class CollectSink final : public IWMWriterSink {
  public:
    HRESULT OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                     std::uint16_t) override {
        std::lock_guard lock(mutex_);
        bytes_.assign(header, header + size);
        headerSize_ = size;
        packetSize_ = packetSize;
        return S_OK;
    }
    HRESULT OnDataUnit(const std::uint8_t* packet, std::size_t size) override {
        std::lock_guard lock(mutex_);
        bytes_.insert(bytes_.end(), packet, packet + size);
        return S_OK;
    }
    HRESULT OnEndWriting() override {
        ended_ = true;
        return S_OK;
    }
    std::vector<std::uint8_t> Bytes() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    bool Ended() const { return ended_; }
    std::vector<PacketView> DataPackets() {
        std::lock_guard lock(mutex_);
        std::vector<PacketView> packets;
        for (std::size_t at = headerSize_; packetSize_ && at + packetSize_ <= bytes_.size();
             at += packetSize_)
            packets.push_back(ReadPacket(bytes_.data() + at, packetSize_));
        return packets;
    }

  protected:
    void* Find(Iid) override { return nullptr; }

  private:
    std::mutex mutex_;
    std::vector<std::uint8_t> bytes_;
    std::size_t headerSize_ = 0;
    std::uint32_t packetSize_ = 0;
    std::atomic<bool> ended_{false};
};

using testsupport::RunCommand;
using testsupport::SendAll;

inline bool HaveTool(const char* tool) {
    return testsupport::HaveProgram(tool);
}

// A raw loopback connection to the stream server, from the loopback address
// from when given (every 127.x.y.z is this machine, so a test plays clients
// at several addresses).
inline UniqueFd Connect(std::uint32_t port, int receiveBuffer = 0, const char* from = "127.0.0.1") {
    return testsupport::ConnectLoopback(static_cast<int>(port), from, receiveBuffer);
}

// Reads until `bytes` have arrived, the peer closes or the timeout passes.
// Returns what arrived; *closed tells whether the peer closed.
inline std::string ReadSome(int fd, std::size_t bytes, int timeoutMs, bool* closed = nullptr) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (closed) *closed = false;
    char buffer[65536];
    while (data.size() < bytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof(buffer), bytes - data.size()), 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// Waits until the predicate holds or the timeout passes.
template <typename Predicate>
bool WaitFor(Predicate predicate, int timeoutMs) {
    return testsupport::WaitUntil(predicate, std::chrono::milliseconds(timeoutMs));
}

// A temporary folder removed with the test.
class TempDir {
  public:
    const std::string& Path() const { return path_; }

  private:
    testsupport::TempFolder folder_{"wmvcore"};
    std::string path_ = folder_.Path().string();
};

}  // namespace wmvtest
