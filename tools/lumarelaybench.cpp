// lumarelaybench URL WIDTH HEIGHT FPS SECONDS: the relay publisher alone,
// fed a moving picture and a 440 Hz tone in real time as the broadcast's
// writer would feed it, publishing to URL. Prints one line: pictures
// given, CPU seconds of the process, CPU milliseconds per picture, bytes
// sent to the relay per second, and groups of pictures dropped.

#include <sys/resource.h>

#include <chrono>
#include <cmath>
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

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: lumarelaybench URL WIDTH HEIGHT FPS SECONDS\n");
        return 2;
    }
    relay::PublisherSettings settings;
    settings.url = argv[1];
    settings.shape.width = std::atoi(argv[2]);
    settings.shape.height = std::atoi(argv[3]);
    settings.shape.framesPerSecond = std::atoi(argv[4]);
    settings.shape.videoBitRate = 500000;
    settings.shape.sampleRate = 44100;
    settings.shape.channels = 2;
    const int seconds = std::atoi(argv[5]);
    const int fps = settings.shape.framesPerSecond;
    if (settings.shape.width <= 0 || settings.shape.height <= 0 || fps <= 0 || seconds <= 0) {
        std::fprintf(stderr, "lumarelaybench: sizes, rate and seconds must be above 0\n");
        return 2;
    }
    const int width = settings.shape.width, height = settings.shape.height;
    const int stride = (width * 3 + 3) & ~3;
    // A second of pictures and of tone, made before the clock starts and
    // given over and over, so that what is measured is the publisher's.
    std::vector<std::vector<std::uint8_t>> pictures(static_cast<std::size_t>(fps));
    for (int frame = 0; frame < fps; ++frame) {
        auto& picture = pictures[static_cast<std::size_t>(frame)];
        picture.resize(static_cast<std::size_t>(stride) * height);
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = picture.data() + static_cast<std::size_t>(y) * stride;
            for (int x = 0; x < width; ++x) {
                const int shade = ((x + frame * 4) / 16 + y / 16) % 2 ? 200 : 40;
                row[x * 3] = static_cast<std::uint8_t>(shade);
                row[x * 3 + 1] = static_cast<std::uint8_t>((x + y + frame) & 0xFF);
                row[x * 3 + 2] = static_cast<std::uint8_t>(255 - shade);
            }
        }
    }
    const int samplesPerPicture = 44100 / fps;
    std::vector<std::int16_t> tone(static_cast<std::size_t>(samplesPerPicture) * 2 * fps);
    for (std::size_t i = 0; i < tone.size() / 2; ++i) {
        const auto value = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * i / 44100.0));
        tone[i * 2] = value;
        tone[i * 2 + 1] = value;
    }

    // The encoder's remarks, as in the program: errors only.
    av_log_set_level(AV_LOG_ERROR);
    relay::RelayPublisher publisher(settings);
    publisher.Start();
    // Counted from the first picture the relay takes: connecting is not
    // the publisher's work per picture.
    while (publisher.Status().state != relay::PublishState::kPublishing) {
        if (publisher.Status().state == relay::PublishState::kReconnecting) {
            std::fprintf(stderr, "lumarelaybench: %s\n",
                         relay::PublishStatusText(publisher.Status()).c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double cpuStart = CpuSeconds();
    const std::int64_t bytesStart = publisher.Status().bytesSent;
    const auto start = std::chrono::steady_clock::now();
    const int given = seconds * fps;
    for (int frame = 0; frame < given; ++frame) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * frame / fps));
        const auto& picture = pictures[static_cast<std::size_t>(frame % fps)];
        const std::int64_t time = 10000000LL * frame / fps;
        publisher.PushVideo(picture.data(), picture.size(), time);
        const std::size_t chunk = static_cast<std::size_t>(samplesPerPicture) * 4;
        publisher.PushAudio(
            reinterpret_cast<const std::uint8_t*>(tone.data()) + chunk * (frame % fps), chunk,
            time);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu = CpuSeconds() - cpuStart;
    const relay::PublishStatus status = publisher.Status();
    publisher.Stop();
    std::printf(
        "pictures=%d cpu_s=%.2f cpu_ms_per_picture=%.3f upload_bytes_per_s=%.0f "
        "dropped_groups=%lld\n",
        given, cpu, 1000.0 * cpu / given,
        static_cast<double>(status.bytesSent - bytesStart) / seconds,
        static_cast<long long>(status.droppedGroups));
    return 0;
}
