#pragma once
// The browser rendition: the writer's samples encoded once more, as VP8
// pictures and Opus sound (resampled to 48 kHz) in a live WebM stream, for
// the sinks that serve web browsers. It runs on a thread of its own, fed with
// the very sample buffers the writer's thread takes from the pool (held until
// both have encoded them), and only while some sink wants it: with nobody
// watching no encoder is open and no sample is handed over.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "wmvcore/AudioEncoder.h"
#include "wmvcore/SamplePool.h"
#include "wmvcore/SinkList.h"
#include "wmvcore/VideoEncoder.h"
#include "wmvcore/WebmMuxer.h"

namespace wmv {

// One input of the writer as the rendition encodes it.
struct RenditionInput {
    bool video = false;
    // Video: the captured size, the frame rate, the bit rate and the key
    // frame spacing of the broadcast.
    int width = 0;
    int height = 0;
    int fps = 30;
    std::int64_t bitRate = 0;
    int gopSize = 0;
    // Audio: the captured PCM and the bit rate of the broadcast's sound.
    int rate = 0;
    int channels = 0;
    std::int64_t audioBitRate = 0;
};

// The VP8 and Opus settings of the rendition (shared with the benchmark's
// command line).
VideoSettings RenditionVideoSettings(const RenditionInput& input);
AudioSettings RenditionAudioSettings(const RenditionInput& input);

class BrowserRendition {
  public:
    BrowserRendition(SamplePool& pool, SinkList& sinks) : pool_(pool), sinks_(sinks) {}
    ~BrowserRendition() { End(); }

    // Starts the rendition's thread, idle until a sink wants it.
    HRESULT Begin(std::vector<RenditionInput> inputs);
    // The writer's thread, for every buffer it has taken from the pool:
    // while browsers watch, the buffer is held and queued for the rendition;
    // once nobody does, the rendition closes its encoders.
    void Offer(int index);
    // Encodes what is queued, closes and stops the thread.
    void End();

    void Statistics(std::uint64_t* pictures, std::uint64_t* sounds, bool* running) const;

  private:
    static constexpr int kStop = -1;  // queued: close the encoders
    static constexpr int kEnd = -2;   // queued: close and end the thread

    void Run();
    HRESULT Open();
    void Close();
    void Encode(const Slot& slot);

    SamplePool& pool_;
    SinkList& sinks_;
    std::vector<RenditionInput> inputs_;
    FailureReport report_;

    // Writer's thread only.
    bool active_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> queue_;
    int queuedPictures_ = 0;
    int queuedSounds_ = 0;
    std::thread thread_;

    // Rendition's thread only.
    bool open_ = false;
    bool failed_ = false;
    std::vector<std::unique_ptr<VideoEncoder>> video_;  // per input, or null
    std::vector<std::unique_ptr<AudioEncoder>> audio_;
    std::vector<std::size_t> track_;  // per input: its WebM track
    std::unique_ptr<WebmMuxer> muxer_;
    bool keyDone_ = false;

    std::atomic<std::uint64_t> pictures_{0};
    std::atomic<std::uint64_t> sounds_{0};
    std::atomic<bool> running_{false};
};

}  // namespace wmv
