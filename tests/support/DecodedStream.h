#pragma once
// What a viewer gets of a live stream, decoded by ffmpeg (an independent
// client): the frames as 24-bit RGB of one size, the sound as 16-bit mono at
// 44100 Hz, and the measures tests take of them.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct DecodedStream {
    int width = 0;
    int height = 0;
    std::string pixels;  // the frames one after another, rows top-down
    std::vector<std::int16_t> samples;

    std::size_t FrameCount() const;
    // The luma (0 to 255) of a pixel of a frame, x and y from the top-left.
    int Luma(std::size_t frame, int x, int y) const;
    // Pixels of a rectangle of a frame brighter than 235: the caption's
    // white, which no camera picture here reaches.
    int WhitePixels(std::size_t frame, int left, int top, int right, int bottom) const;
    // The mean difference of luma between two frames over a rectangle.
    double Difference(std::size_t a, std::size_t b, int left, int top, int right, int bottom) const;
};

// What to decode of a stream: the pictures through an ffmpeg filter that
// makes them width x height ("scale=320:240", "crop=320:240:0:0"; empty: no
// pictures), and the sound or not.
struct DecodeRequest {
    std::string pictures = "scale=320:240";
    int width = 320;
    int height = 240;
    bool sound = true;
};
// Decodes seconds of the stream at url into files in folder. False when
// ffmpeg fails or takes more than a minute.
bool DecodeStream(const std::string& url, int seconds, const std::filesystem::path& folder,
                  const DecodeRequest& request, DecodedStream* out);

// A stretch of sound: how loud (root mean square), how high (zero crossings
// halved, per second at 44100 Hz; the middle value of its tenths of a
// second), and the share of its power at one pitch (1 for a pure tone of it;
// a sound server that drops samples now and then lowers it a little, noise
// or silence to nothing).
struct Tone {
    double rms = 0;
    double hertz = 0;
    double share = 0;
};
Tone MeasureTone(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t count,
                 double pitch = 440.0);

}  // namespace testsupport
