// lumarelaybench URL WIDTH HEIGHT FPS SECONDS PICTURES.bgr SOUND.pcm: the
// relay publisher alone, fed a second of raw pictures and sound over and
// over in real time as the broadcast's writer would feed it, publishing to
// URL. Prints one line: pictures given and encoded, CPU seconds of the whole
// process, CPU milliseconds per picture encoded, bytes sent to the relay per
// second, and groups of pictures dropped.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "relay/RelayPublisher.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

// Reads a whole file; empty when it cannot.
std::vector<std::uint8_t> ReadFile(const char* path) {
    std::vector<std::uint8_t> bytes;
    if (std::FILE* file = std::fopen(path, "rb")) {
        std::uint8_t buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + got);
        std::fclose(file);
    }
    return bytes;
}

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr,
                     "usage: lumarelaybench URL WIDTH HEIGHT FPS SECONDS PICTURES.bgr SOUND.pcm\n");
        return 2;
    }
    relay::PublisherSettings settings;
    settings.url = argv[1];
    codec::MediaShape shape;
    shape.width = std::atoi(argv[2]);
    shape.height = std::atoi(argv[3]);
    shape.framesPerSecond = std::atoi(argv[4]);
    shape.videoBitRate = 500000;
    shape.sampleRate = 44100;
    shape.channels = 2;
    const int seconds = std::atoi(argv[5]);
    const int fps = shape.framesPerSecond;
    if (shape.width <= 0 || shape.height <= 0 || fps <= 0 || seconds <= 0) {
        std::fprintf(stderr, "lumarelaybench: sizes, rate and seconds must be above 0\n");
        return 2;
    }
    const int width = shape.width, height = shape.height;
    // A second of pictures (24-bit, width x height, one after another) and of
    // sound (16-bit stereo at 44.1 kHz), the very input the bench gives the
    // ffmpeg command line, given over and over in real time.
    const std::vector<std::uint8_t> second = ReadFile(argv[6]);
    const std::vector<std::uint8_t> sound = ReadFile(argv[7]);
    const std::size_t pictureBytes = static_cast<std::size_t>(width) * 3 * height;
    const int samplesPerPicture = 44100 / fps;
    const std::size_t chunk = static_cast<std::size_t>(samplesPerPicture) * 4;
    if (second.size() < pictureBytes * fps || sound.size() < chunk * fps) {
        std::fprintf(stderr, "lumarelaybench: the input holds less than a second\n");
        return 2;
    }

    // The encoder's remarks, as in the program: errors only.
    av_log_set_level(AV_LOG_ERROR);
    codec::SharedEncode encode(shape);
    relay::RelayPublisher publisher(settings, encode);
    publisher.Start();
    while (publisher.Status().state != relay::PublishState::kPublishing) {
        if (publisher.Status().state == relay::PublishState::kReconnecting) {
            std::fprintf(stderr, "lumarelaybench: %s\n",
                         relay::PublishStatusText(publisher.Status()).c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::int64_t bytesStart = publisher.Status().bytesSent;
    const auto start = std::chrono::steady_clock::now();
    const int given = seconds * fps;
    for (int frame = 0; frame < given; ++frame) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * frame / fps));
        const std::uint8_t* picture = second.data() + pictureBytes * (frame % fps);
        const std::int64_t time = 10000000LL * frame / fps;
        encode.PushVideo(picture, pictureBytes, time);
        encode.PushAudio(sound.data() + chunk * (frame % fps), chunk, time);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const relay::PublishStatus status = publisher.Status();
    publisher.Stop();
    // The whole process from its start, as the command line's is counted:
    // opening the encoder and connecting included; per picture encoded.
    const double cpu = CpuSeconds();
    const std::int64_t encoded = std::max<std::int64_t>(status.picturesEncoded, 1);
    std::printf(
        "pictures=%d encoded=%lld cpu_s=%.2f cpu_ms_per_picture=%.3f upload_bytes_per_s=%.0f "
        "dropped_groups=%lld\n",
        given, static_cast<long long>(status.picturesEncoded), cpu, 1000.0 * cpu / encoded,
        static_cast<double>(status.bytesSent - bytesStart) / seconds,
        static_cast<long long>(status.droppedGroups));
    return 0;
}
