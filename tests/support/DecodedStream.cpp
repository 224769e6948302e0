#include "tests/support/DecodedStream.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tests/support/Commands.h"
#include "tests/support/TempFolder.h"

namespace testsupport {

std::size_t DecodedStream::FrameCount() const {
    const std::size_t frame = static_cast<std::size_t>(width) * height * 3;
    return frame ? pixels.size() / frame : 0;
}

int DecodedStream::Luma(std::size_t frame, int x, int y) const {
    const std::size_t at = (frame * static_cast<std::size_t>(width) * height +
                            static_cast<std::size_t>(y) * width + x) *
                           3;
    const auto* p = reinterpret_cast<const unsigned char*>(pixels.data()) + at;
    return (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000;
}

int DecodedStream::WhitePixels(std::size_t frame, int left, int top, int right, int bottom) const {
    int white = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) white += Luma(frame, x, y) > 235;
    return white;
}

double DecodedStream::Difference(std::size_t a, std::size_t b, int left, int top, int right,
                                 int bottom) const {
    double sum = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) sum += std::abs(Luma(a, x, y) - Luma(b, x, y));
    return sum / std::max(1, (right - left) * (bottom - top));
}

bool DecodeStream(const std::string& url, int seconds, const std::filesystem::path& folder,
                  const DecodeRequest& request, DecodedStream* out) {
    const std::filesystem::path picture = folder / "decoded.rgb";
    const std::filesystem::path sound = folder / "decoded.pcm";
    std::filesystem::remove(picture);
    std::filesystem::remove(sound);
    const std::string duration = " -t " + std::to_string(seconds);
    std::string command = "timeout 60 ffmpeg -v error -y -i '" + url + "'";
    if (!request.pictures.empty()) {
        command += duration + " -map 0:v -vf " + request.pictures +
                   " -f rawvideo -pix_fmt rgb24 '" + picture.string() + "'";
    }
    if (request.sound)
        command += duration + " -map 0:a -ac 1 -ar 44100 -f s16le '" + sound.string() + "'";
    int status = -1;
    RunCommand(command + " < /dev/null", &status);
    *out = DecodedStream{};
    out->width = request.width;
    out->height = request.height;
    out->pixels = ReadWholeFile(picture);
    const std::string bytes = ReadWholeFile(sound);
    out->samples.resize(bytes.size() / 2);
    std::copy_n(bytes.data(), out->samples.size() * 2,
                reinterpret_cast<char*>(out->samples.data()));
    return status == 0;
}

Tone MeasureTone(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t count,
                 double pitch) {
    Tone tone;
    if (from == 0) from = 1;
    const std::size_t end = std::min(samples.size(), from + count);
    if (end <= from) return tone;
    // The pitch is the middle one of the tenths of a second: a sound server
    // that drops a few samples now and then leaves a tenth with a jump in
    // it, not a tone of another pitch.
    constexpr std::size_t kTenth = 4410;
    double energy = 0;
    std::vector<double> pitches;
    int crossings = 0;
    std::size_t inTenth = 0;
    for (std::size_t i = from; i < end; ++i) {
        energy += static_cast<double>(samples[i]) * samples[i];
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
        if (++inTenth == kTenth || i + 1 == end) {
            pitches.push_back(crossings / 2.0 * 44100.0 / static_cast<double>(inTenth));
            crossings = 0;
            inTenth = 0;
        }
    }
    const double n = static_cast<double>(end - from);
    tone.rms = std::sqrt(energy / n);
    std::sort(pitches.begin(), pitches.end());
    tone.hertz = pitches[pitches.size() / 2];
    // The power at the pitch (Goertzel), against the whole.
    const double coefficient = 2.0 * std::cos(2.0 * M_PI * pitch / 44100.0);
    double previous = 0, beforeThat = 0;
    for (std::size_t i = from; i < end; ++i) {
        const double next = samples[i] + coefficient * previous - beforeThat;
        beforeThat = previous;
        previous = next;
    }
    const double power =
        previous * previous + beforeThat * beforeThat - coefficient * previous * beforeThat;
    tone.share = energy > 0 ? 2.0 * power / (n * energy) : 0;
    return tone;
}

}  // namespace testsupport
