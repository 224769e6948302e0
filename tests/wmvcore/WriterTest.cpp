// The writer's rules and every codec format it offers, encoded to ASF and
// read back by ffprobe.

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <sstream>

#include "tests/support/Skip.h"
#include "tests/wmvcore/StreamTestSupport.h"
#include "wmvcore/SamplePool.h"

using namespace wmv;
using namespace wmvtest;

namespace {

RefPtr<IWMWriter> NewWriter() {
    IWMWriter* raw = nullptr;
    EXPECT_EQ(WMCreateWriter(nullptr, &raw), S_OK);
    return RefPtr<IWMWriter>::Adopt(raw);
}

RefPtr<IWMWriterAdvanced> Advanced(IWMWriter* writer) {
    IWMWriterAdvanced* raw = nullptr;
    EXPECT_EQ(writer->QueryInterface(&raw), S_OK);
    return RefPtr<IWMWriterAdvanced>::Adopt(raw);
}

RefPtr<INSSBuffer> Sample(IWMWriter* writer, std::uint32_t size) {
    INSSBuffer* raw = nullptr;
    EXPECT_EQ(writer->AllocateSample(size, &raw), S_OK);
    return RefPtr<INSSBuffer>::Adopt(raw);
}

// A writer that has begun writing, with a sink that keeps everything.
struct Writing {
    RefPtr<IWMWriter> writer;
    RefPtr<IWMWriterAdvanced> advanced;
    RefPtr<CollectSink> sink;
    WAVEFORMATEX wave{};
    bool started = false;
};

Writing BeginWriting(const StreamShape& shape) {
    Writing w;
    w.writer = NewWriter();
    w.advanced = Advanced(w.writer.Get());
    auto profile = BuildProfile(shape, &w.wave);
    if (!profile) return w;
    w.sink = MakeRef<CollectSink>();
    w.advanced->AddSink(w.sink.Get());
    w.started =
        SUCCEEDED(w.writer->SetProfile(profile.Get())) && SUCCEEDED(w.writer->BeginWriting());
    return w;
}

// 160x120 pictures at `fps`, with the default audio.
StreamShape SmallShape(int fps = 15) {
    StreamShape shape;
    shape.width = 160;
    shape.height = 120;
    shape.fps = fps;
    return shape;
}

// Writes without pacing; a full pool (the thread is behind) is retried.
HRESULT WriteRetrying(IWMWriter* writer, std::uint32_t input, std::uint64_t time,
                      INSSBuffer* sample) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        HRESULT hr = writer->WriteSample(input, time, 0, sample);
        if (hr != HresultFromErrno(ENOBUFS)) return hr;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return E_FAIL;
}

TEST(Writer, StateRules) {
    auto writer = NewWriter();
    auto sample = Sample(writer.Get(), 1000);
    EXPECT_EQ(writer->WriteSample(0, 0, 0, sample.Get()), NS_E_INVALID_REQUEST);
    EXPECT_EQ(writer->BeginWriting(), NS_E_INVALID_REQUEST);  // no profile
    EXPECT_EQ(writer->EndWriting(), NS_E_INVALID_REQUEST);
    EXPECT_EQ(writer->SetProfile(nullptr), E_POINTER);

    StreamShape shape;
    shape.width = 160;
    shape.height = 120;
    auto profile = BuildProfile(shape);
    ASSERT_TRUE(profile);
    ASSERT_EQ(writer->SetProfile(profile.Get()), S_OK);
    std::uint32_t inputs = 0;
    writer->GetInputCount(&inputs);
    EXPECT_EQ(inputs, 2u);
    ASSERT_EQ(writer->BeginWriting(), S_OK);
    EXPECT_EQ(writer->BeginWriting(), NS_E_INVALID_REQUEST);
    EXPECT_EQ(writer->SetProfile(profile.Get()), NS_E_INVALID_REQUEST);
    EXPECT_EQ(writer->WriteSample(2, 0, 0, sample.Get()), E_INVALIDARG);
    // A frame shorter than 160 x 120 x 3 bytes is refused, not read past.
    EXPECT_EQ(writer->WriteSample(0, 0, 0, sample.Get()), NS_E_INVALID_INPUT_FORMAT);
    EXPECT_EQ(writer->WriteSample(0, 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(sample->SetLength(1001), E_INVALIDARG);
    EXPECT_EQ(writer->Flush(), S_OK);
    EXPECT_EQ(writer->EndWriting(), S_OK);
    EXPECT_EQ(writer->EndWriting(), NS_E_INVALID_REQUEST);
    // Writing can begin again with the same profile.
    EXPECT_EQ(writer->BeginWriting(), S_OK);
    EXPECT_EQ(writer->EndWriting(), S_OK);
}

// Writing never waits for the writer's thread: with every buffer of an
// input taken, a sample is refused at once while the other input still
// takes its own, and a buffer the thread is done with takes samples again.
// The writer's thread here is the test, taking buffers in turn.
TEST(SamplePool, AFullInputRefusesASampleAtOnce) {
    auto pool = std::make_shared<SamplePool>();
    SamplePool::InputLayout pictures, sound;
    pictures.count = 2;
    pictures.capacity = pictures.minLength = 4;
    sound.count = 1;
    sound.capacity = sound.minLength = sound.blockAlign = 4;
    ASSERT_EQ(pool->Begin({pictures, sound}), S_OK);
    // Each write on a thread of its own: one that waits for a buffer is left
    // waiting, with the pool, and fails the test.
    const auto write = [pool](std::uint32_t input, std::uint64_t time) {
        auto result = std::make_shared<std::promise<HRESULT>>();
        std::future<HRESULT> written = result->get_future();
        std::thread([pool, result, input, time] {
            static const std::uint8_t bytes[4] = {1, 2, 3, 4};
            result->set_value(pool->Write(input, time, bytes, sizeof bytes));
        }).detach();
        if (written.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            return written.get();
        ADD_FAILURE() << "writing " << input << " at " << time << " waited";
        return E_FAIL;
    };
    const HRESULT full = HresultFromErrno(ENOBUFS);
    EXPECT_EQ(write(0, 1), S_OK);
    EXPECT_EQ(write(0, 2), S_OK);
    EXPECT_EQ(write(0, 3), full);
    EXPECT_EQ(write(1, 1), S_OK);
    EXPECT_EQ(write(1, 2), full);
    if (HasFailure()) return;  // what the pool holds is not known

    // The thread takes the first picture and is done with it: its buffer
    // takes the next one. The queue keeps the order of writing.
    const int first = pool->Next();
    EXPECT_EQ(pool->At(first).time, 1u);
    pool->Done(first);
    ASSERT_EQ(write(0, 3), S_OK);
    const std::pair<std::uint32_t, std::uint64_t> order[] = {{0, 2}, {1, 1}, {0, 3}};
    for (const auto& [input, time] : order) {
        const int index = pool->Next();
        EXPECT_EQ(pool->At(index).input, input);
        EXPECT_EQ(pool->At(index).time, time);
        pool->Done(index);
    }
    pool->Stop();
    EXPECT_EQ(pool->Next(), -1);
    EXPECT_EQ(write(0, 4), NS_E_INVALID_REQUEST);
}

TEST(Writer, SinksGetHeaderPacketsAndEnd) {
    Writing w = BeginWriting(SmallShape());
    ASSERT_TRUE(w.started);
    auto& [writer, advanced, sink, wave, started] = w;
    EXPECT_EQ(advanced->AddSink(sink.Get()), E_INVALIDARG);
    EXPECT_GT(sink->Bytes().size(), 50u);
    // A sink added while writing starts with the header too.
    auto late = MakeRef<CollectSink>();
    ASSERT_EQ(advanced->AddSink(late.Get()), S_OK);
    EXPECT_EQ(late->Bytes(), sink->Bytes());
    EXPECT_EQ(advanced->RemoveSink(late.Get()), S_OK);
    EXPECT_TRUE(late->Ended());
    std::uint32_t sinks = 0;
    advanced->GetSinkCount(&sinks);
    EXPECT_EQ(sinks, 1u);
    EXPECT_EQ(writer->EndWriting(), S_OK);
    EXPECT_TRUE(sink->Ended());
    EXPECT_EQ(advanced->RemoveSink(sink.Get()), S_OK);
    EXPECT_EQ(advanced->RemoveSink(sink.Get()), E_INVALIDARG);
}

// A sink that takes itself off the writer from inside its own call, after
// a given number of data calls, and adds a helper sink at its first one.
class LeavingSink final : public IWMWriterSink {
  public:
    LeavingSink(IWMWriterAdvanced* writer, IWMWriterSink* joiner, int leaveAfter)
        : writer_(writer), joiner_(joiner), leaveAfter_(leaveAfter) {}
    HRESULT OnHeader(const std::uint8_t*, std::size_t, std::uint32_t, std::uint16_t) override {
        return S_OK;
    }
    HRESULT OnDataUnit(const std::uint8_t*, std::size_t) override {
        if (++dataCalls_ == 1) joinResult_ = writer_->AddSink(joiner_);
        if (dataCalls_ == leaveAfter_) leaveResult_ = writer_->RemoveSink(this);
        return S_OK;
    }
    HRESULT OnEndWriting() override {
        ++ends_;
        return S_OK;
    }
    int dataCalls_ = 0, ends_ = 0;
    HRESULT joinResult_ = E_FAIL, leaveResult_ = E_FAIL;

  protected:
    void* Find(Iid) override { return nullptr; }

  private:
    IWMWriterAdvanced* writer_;
    IWMWriterSink* joiner_;
    int leaveAfter_;
};

// Feeds `frames` pictures of the small shape, waiting for each to be taken.
void FeedPictures(IWMWriter* writer, int frames) {
    auto video = Sample(writer, 160 * 120 * 3);
    std::uint8_t* pixels = nullptr;
    video->GetBuffer(&pixels);
    for (int frame = 0; frame < frames; ++frame) {
        DrawPicture(pixels, 160, 120, frame);
        ASSERT_EQ(WriteRetrying(writer, 0, static_cast<std::uint64_t>(frame) * 666666, video.Get()),
                  S_OK);
    }
    ASSERT_EQ(writer->Flush(), S_OK);
}

// A sink may change the writer's sinks from inside its calls: the writer
// holds no lock there that those calls need.
TEST(Writer, ASinkMayAddAndRemoveSinksFromInsideItsCalls) {
    Writing w = BeginWriting(SmallShape());
    ASSERT_TRUE(w.started);
    auto& [writer, advanced, sink, wave, started] = w;
    auto joiner = MakeRef<CollectSink>();
    auto leaving = MakeRef<LeavingSink>(advanced.Get(), joiner.Get(), 3);
    ASSERT_EQ(advanced->AddSink(leaving.Get()), S_OK);
    FeedPictures(writer.Get(), 30);
    EXPECT_EQ(leaving->joinResult_, S_OK);
    EXPECT_EQ(leaving->leaveResult_, S_OK);
    EXPECT_EQ(leaving->dataCalls_, 3) << "a removed sink was still called";
    EXPECT_EQ(leaving->ends_, 1);
    // The sink added from inside a call started with the header.
    const auto all = sink->Bytes(), joined = joiner->Bytes();
    ASSERT_GT(joined.size(), 50u);
    EXPECT_TRUE(std::equal(joined.begin(), joined.begin() + 50, all.begin()));
    EXPECT_EQ(writer->EndWriting(), S_OK);
    EXPECT_TRUE(joiner->Ended());
    EXPECT_EQ(advanced->RemoveSink(joiner.Get()), S_OK);
}

// Sinks that come and go on another thread while pictures are written each
// get the header first and whole packets after it, never a packet alone.
TEST(Writer, SinksJoiningWhileWritingStartWithTheHeader) {
    Writing w = BeginWriting(SmallShape());
    ASSERT_TRUE(w.started);
    auto& [writer, advanced, sink, wave, started] = w;
    std::atomic<bool> done{false};
    std::vector<RefPtr<CollectSink>> joined;
    std::thread churn([&] {
        while (!done) {
            auto late = MakeRef<CollectSink>();
            if (advanced->AddSink(late.Get()) != S_OK) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            advanced->RemoveSink(late.Get());
            joined.push_back(late);
        }
    });
    FeedPictures(writer.Get(), 60);
    done = true;
    churn.join();
    const auto all = sink->Bytes();
    ASSERT_FALSE(joined.empty());
    for (const auto& late : joined) {
        const auto bytes = late->Bytes();
        ASSERT_GE(bytes.size(), 50u);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 50, all.begin()));
        EXPECT_TRUE(late->Ended());
        for (const auto& packet : late->DataPackets()) EXPECT_TRUE(packet.valid);
    }
    EXPECT_EQ(writer->EndWriting(), S_OK);
}

// A live picture goes to the sinks as soon as it is encoded: it does not
// wait for the audio of its time, which is still being captured.
TEST(Writer, APictureLeavesWithoutWaitingForAudio) {
    Writing w = BeginWriting(SmallShape());
    ASSERT_TRUE(w.started);
    auto& [writer, advanced, sink, wave, started] = w;
    auto audio = Sample(writer.Get(), 500000);
    audio->SetLength(wave.nAvgBytesPerSec / 2 / wave.nBlockAlign * wave.nBlockAlign);
    ASSERT_EQ(writer->WriteSample(1, 0, 0, audio.Get()), S_OK);  // half a second of silence
    auto video = Sample(writer.Get(), 160 * 120 * 3);
    std::uint8_t* pixels = nullptr;
    video->GetBuffer(&pixels);
    DrawPicture(pixels, 160, 120, 0);
    ASSERT_EQ(writer->WriteSample(0, 20000000, 0, video.Get()), S_OK);  // at 2 s
    ASSERT_EQ(writer->Flush(), S_OK);
    bool sent = false;
    for (const auto& packet : sink->DataPackets()) {
        EXPECT_TRUE(packet.valid);
        for (const auto& payload : packet.payloads) {
            // Presentation times run 3100 ms after sample times.
            if (payload.stream == 1 && payload.key && payload.time == 5100) sent = true;
        }
    }
    EXPECT_TRUE(sent) << "the picture at 2 s is still held back";
    EXPECT_EQ(writer->EndWriting(), S_OK);
}

// Encodes `seconds` of picture and tone as fast as the writer takes them
// and returns the ASF file.
std::vector<std::uint8_t> Encode(const StreamShape& shape, double seconds, bool noisy = false) {
    Writing w = BeginWriting(shape);
    if (!w.started) return {};
    auto& [writer, advanced, sink, wave, started] = w;
    const int videoInput = shape.videoCodec >= 0 ? 0 : -1;
    const int audioInput = shape.audioCodec >= 0 ? (videoInput == 0 ? 1 : 0) : -1;
    const std::uint32_t frameSize =
        static_cast<std::uint32_t>(((shape.width * 3 + 3) & ~3) * shape.height);
    auto video = Sample(writer.Get(), frameSize);
    auto audio = Sample(writer.Get(), 500000);
    std::uint8_t *videoData = nullptr, *audioData = nullptr;
    video->GetBuffer(&videoData);
    audio->GetBuffer(&audioData);
    const int steps = static_cast<int>(seconds * 10);
    int frame = 0;
    for (int step = 0; step < steps; ++step) {
        const std::uint64_t time = static_cast<std::uint64_t>(step) * 1000000;
        if (audioInput >= 0) {
            const std::uint32_t samples = wave.nSamplesPerSec / 10;
            auto* pcm = reinterpret_cast<std::int16_t*>(audioData);
            for (std::uint32_t i = 0; i < samples; ++i) {
                const auto v = static_cast<std::int16_t>(
                    6000 * std::sin(2 * M_PI * 440.0 * (step * samples + i) / wave.nSamplesPerSec));
                for (int c = 0; c < wave.nChannels; ++c) *pcm++ = v;
            }
            audio->SetLength(samples * wave.nChannels * 2);
            EXPECT_EQ(WriteRetrying(writer.Get(), static_cast<std::uint32_t>(audioInput), time,
                                    audio.Get()),
                      S_OK);
        }
        if (videoInput >= 0) {
            for (; frame * 10 < (step + 1) * shape.fps; ++frame) {
                DrawPicture(videoData, shape.width, shape.height, frame);
                if (noisy) {
                    // Texture that costs bits: the picture with noise on top.
                    std::uint32_t state = 2463534242u + static_cast<std::uint32_t>(frame);
                    for (std::uint32_t i = 0; i < frameSize; ++i) {
                        state ^= state << 13;
                        state ^= state >> 17;
                        state ^= state << 5;
                        videoData[i] = static_cast<std::uint8_t>(videoData[i] / 2 + (state & 0x0F));
                    }
                }
                const std::uint64_t frameTime =
                    static_cast<std::uint64_t>(frame) * 10000000 / shape.fps;
                EXPECT_EQ(WriteRetrying(writer.Get(), 0, frameTime, video.Get()), S_OK);
            }
        }
    }
    writer->Flush();
    writer->EndWriting();
    return sink->Bytes();
}

std::string Probe(const std::string& folder, const std::string& name,
                  const std::vector<std::uint8_t>& bytes) {
    const std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return RunCommand(
        "ffprobe -v error -count_frames -show_entries "
        "stream=codec_name,width,height,sample_rate,channels,nb_read_frames -of csv=p=0 '" +
        path + "' 2>&1");
}

// The runtime's codec lists, through a profile manager of their own.
RefPtr<IWMCodecInfo> CodecInformation() {
    IWMProfileManager* raw = nullptr;
    WMCreateProfileManager(&raw);
    auto manager = RefPtr<IWMProfileManager>::Adopt(raw);
    IWMCodecInfo* info = nullptr;
    if (manager) manager->QueryInterface(&info);
    return RefPtr<IWMCodecInfo>::Adopt(info);
}

TEST(Writer, EveryVideoCodecEncodes) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffprobe is not installed";
    TempDir dir;
    const char* names[] = {"wmv2", "wmv1", "msmpeg4v3"};
    auto info = CodecInformation();
    std::uint32_t count = 0;
    info->GetCodecInfoCount(WMMEDIATYPE_Video, &count);
    ASSERT_EQ(count, 3u);
    for (int codec = 0; codec < 3; ++codec) {
        StreamShape shape;
        shape.videoCodec = codec;
        shape.audioCodec = -1;
        shape.width = 176;
        shape.height = 144;
        shape.fps = 10;
        auto bytes = Encode(shape, 1.0);
        ASSERT_FALSE(bytes.empty()) << codec;
        const std::string probe = Probe(dir.Path(), "v" + std::to_string(codec) + ".asf", bytes);
        EXPECT_EQ(probe, std::string(names[codec]) + ",176,144,10\n") << codec;
    }
    // Odd frame sizes are encoded at the even size below them.
    StreamShape odd;
    odd.audioCodec = -1;
    odd.width = 161;
    odd.height = 121;
    odd.fps = 10;
    const auto bytes = Encode(odd, 1.0);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(Probe(dir.Path(), "odd.asf", bytes), "wmv2,160,120,10\n");
}

TEST(Writer, BitRateAndKeyFrameSpacingAreHonoured) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffprobe is not installed";
    TempDir dir;
    std::size_t sizes[2] = {};
    const std::uint32_t rates[2] = {100000, 800000};
    for (int i = 0; i < 2; ++i) {
        StreamShape shape;
        shape.audioCodec = -1;
        shape.width = 320;
        shape.height = 240;
        shape.fps = 15;
        shape.bitrate = rates[i];
        const auto bytes = Encode(shape, 8.0, true);
        sizes[i] = bytes.size();
        if (i == 0) continue;
        // Key frames: the profile asks for at most 1 s between them.
        const std::string path = dir.Path() + "/k.asf";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        const std::string flags = RunCommand(
            "ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 '" + path +
            "'");
        int sinceKey = 0, keys = 0, longest = 0;
        for (std::size_t at = 0; at < flags.size();) {
            const std::size_t end = flags.find('\n', at);
            const bool key = flags.compare(at, 1, "K") == 0;
            keys += key;
            sinceKey = key ? 0 : sinceKey + 1;
            longest = std::max(longest, sinceKey);
            at = end == std::string::npos ? flags.size() : end + 1;
        }
        EXPECT_GE(keys, 8) << flags.substr(0, 200);
        EXPECT_LT(longest, 15) << "no more than a second between key frames";
    }
    // A higher bit rate buys a finer picture until the quantiser is at its
    // finest; the low rate is kept to within twice its value.
    EXPECT_GT(sizes[1] * 2, sizes[0] * 3) << sizes[0] << " " << sizes[1];
    const double seconds = 8.0;
    EXPECT_LT(sizes[0] * 8 / seconds, rates[0] * 2.0) << "roughly the asked rate";
}

// Frame rates that do not divide a second, jittered frame times, odd audio
// chunks and a gap in the audio: the file reads back without errors and with
// every picture.
TEST(Writer, UnevenTimingKeepsTheStreamsInOrder) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffprobe is not installed";
    TempDir dir;
    for (int fps : {7, 30}) {
        Writing w = BeginWriting(SmallShape(fps));
        ASSERT_TRUE(w.started);
        auto& [writer, advanced, sink, wave, started] = w;
        auto video = Sample(writer.Get(), 160 * 120 * 3);
        auto audio = Sample(writer.Get(), 500000);
        std::uint8_t* videoData = nullptr;
        video->GetBuffer(&videoData);
        const std::uint32_t chunk = 333;  // samples
        audio->SetLength(chunk * wave.nChannels * 2);
        std::uint64_t audioTime = 0, videoTime = 0;
        int frame = 0;
        while (videoTime < 40000000) {  // 4 s
            if (audioTime <= videoTime + 500000) {
                // Half a second without audio in the middle.
                if (audioTime < 15000000 || audioTime > 20000000) {
                    EXPECT_EQ(WriteRetrying(writer.Get(), 1, audioTime, audio.Get()), S_OK);
                }
                audioTime += std::uint64_t(chunk) * 10000000 / wave.nSamplesPerSec;
                continue;
            }
            DrawPicture(videoData, 160, 120, frame++);
            const std::uint64_t jitter = (frame * 7919 % 13) * 10000;  // up to 12 ms
            EXPECT_EQ(WriteRetrying(writer.Get(), 0, videoTime + jitter, video.Get()), S_OK);
            videoTime += 10000000 / std::uint64_t(fps);
        }
        ASSERT_EQ(writer->EndWriting(), S_OK);
        const std::string path = dir.Path() + "/u.asf";
        const auto bytes = sink->Bytes();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        const std::string errors =
            RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1");
        EXPECT_EQ(errors, "") << fps;
        const std::string frames = RunCommand(
            "ffprobe -v error -select_streams v -count_frames -show_entries "
            "stream=nb_read_frames -of csv=p=0 '" +
            path + "'");
        EXPECT_EQ(std::atoi(frames.c_str()), frame) << fps;
    }
}

TEST(Writer, EveryAudioFormatEncodes) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffprobe is not installed";
    TempDir dir;
    auto info = CodecInformation();
    const char* names[] = {"wmav2", "wmav1"};
    for (int codec = 0; codec < 2; ++codec) {
        std::uint32_t formats = 0;
        info->GetCodecFormatCount(WMMEDIATYPE_Audio, static_cast<std::uint32_t>(codec), &formats);
        for (std::uint32_t f = 0; f < formats; ++f) {
            StreamShape shape;
            shape.videoCodec = -1;
            shape.audioCodec = codec;
            shape.audioFormat = static_cast<int>(f);
            WAVEFORMATEX wave{};
            ASSERT_TRUE(BuildProfile(shape, &wave));
            auto bytes = Encode(shape, 0.5);
            ASSERT_FALSE(bytes.empty()) << codec << "/" << f;
            const std::string probe = Probe(dir.Path(), "a.asf", bytes);
            const std::string prefix = std::string(names[codec]) + "," +
                                       std::to_string(wave.nSamplesPerSec) + "," +
                                       std::to_string(wave.nChannels) + ",";
            EXPECT_EQ(probe.rfind(prefix, 0), 0u) << codec << "/" << f << ": " << probe;
            EXPECT_EQ(probe.find("rror"), std::string::npos) << probe;
        }
    }
}

}  // namespace

// Frames every 33 ms into a 30 fps stream, as the program's frame timer
// writes them: the stream keeps to its rate by dropping the odd surplus frame
// and never stamps a frame ahead of the time it was written.
TEST(Writer, FramesALittleFasterThanTheRateDoNotRunAheadOfTheClock) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffprobe is not installed";
    TempDir dir;
    StreamShape shape = SmallShape(30);
    shape.audioCodec = -1;
    Writing w = BeginWriting(shape);
    ASSERT_TRUE(w.started);
    auto& [writer, advanced, sink, wave, started] = w;
    auto video = Sample(writer.Get(), 160 * 120 * 3);
    std::uint8_t* pixels = nullptr;
    video->GetBuffer(&pixels);
    constexpr int kFrames = 151;
    constexpr std::uint64_t kTick = 330000;  // 33 ms
    for (int frame = 0; frame < kFrames; ++frame) {
        DrawPicture(pixels, 160, 120, frame);
        ASSERT_EQ(WriteRetrying(writer.Get(), 0, frame * kTick, video.Get()), S_OK);
    }
    ASSERT_EQ(writer->EndWriting(), S_OK);
    const std::string path = dir.Path() + "/fast.asf";
    const auto bytes = sink->Bytes();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::istringstream times(RunCommand(
        "ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 '" + path +
        "'"));
    std::vector<double> pts;
    for (std::string line; std::getline(times, line);) pts.push_back(std::stod(line));
    // 151 frames over 4.95 s make 148 slots of a 30 fps stream.
    EXPECT_GE(pts.size(), 147u);
    EXPECT_LE(pts.size(), 150u);
    ASSERT_FALSE(pts.empty());
    for (std::size_t i = 1; i < pts.size(); ++i) EXPECT_GT(pts[i], pts[i - 1]) << i;
    const double lastWritten = (kFrames - 1) * kTick / 1e7;
    EXPECT_LE(pts.back() - pts.front(), lastWritten + 0.1 / 30 + 1e-3);
}
