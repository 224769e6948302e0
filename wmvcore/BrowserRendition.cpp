#include "wmvcore/BrowserRendition.h"

#include <pthread.h>

#include <algorithm>
#include <string>
#include <system_error>

namespace wmv {
namespace {

constexpr int kOpusRate = 48000;
constexpr std::uint64_t kOpusSeekPreRollNs = 80000000;
constexpr std::uint64_t kOpusFrameNs = 20000000;  // frame_duration below
// Buffers the rendition may hold at once: when it falls further behind,
// pictures are skipped for browsers rather than taken from the broadcast.
constexpr int kMaxQueuedPictures = 2;
constexpr int kMaxQueuedSounds = 24;

}  // namespace

VideoSettings RenditionVideoSettings(const RenditionInput& input) {
    VideoSettings settings;
    settings.codec = AV_CODEC_ID_VP8;
    settings.width = input.width;
    settings.height = input.height;
    settings.fps = input.fps;
    settings.bitRate = input.bitRate;
    settings.gopSize = input.gopSize;
    settings.globalHeader = false;
    settings.keyAfterGap = true;
    const std::string rate = std::to_string(input.bitRate);
    // Real-time VP8: constant bit rate with a one-second buffer, no frames
    // held back for look-ahead, one thread, and key frames capped at three
    // frames' worth of bits so that a forced one does not stall the stream.
    settings.options = {
        {"deadline", "realtime"}, {"cpu-used", "8"},         {"lag-in-frames", "0"},
        {"minrate", rate},        {"maxrate", rate},         {"bufsize", rate},
        {"static-thresh", "0"},   {"max-intra-rate", "300"}, {"threads", "1"},
    };
    return settings;
}

AudioSettings RenditionAudioSettings(const RenditionInput& input) {
    AudioSettings settings;
    settings.codec = AV_CODEC_ID_OPUS;
    settings.inputRate = input.rate;
    settings.channels = input.channels;
    settings.outputRate = kOpusRate;
    settings.sampleFormat = AV_SAMPLE_FMT_FLT;
    // The broadcast's sound bit rate, within what Opus spends on speech and
    // music of this kind.
    settings.bitRate = std::clamp<std::int64_t>(input.audioBitRate, 32000, 128000);
    settings.globalHeader = false;
    settings.options = {{"application", "audio"}, {"frame_duration", "20"}};
    return settings;
}

HRESULT BrowserRendition::Begin(std::vector<RenditionInput> inputs) {
    inputs_ = std::move(inputs);
    active_ = false;
    queue_.clear();
    queuedPictures_ = queuedSounds_ = 0;
    pictures_ = sounds_ = 0;
    report_.Reset();
    try {
        thread_ = std::thread(&BrowserRendition::Run, this);
    } catch (const std::system_error&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void BrowserRendition::Offer(int index) {
    if (!thread_.joinable()) return;
    if (!sinks_.RenditionWanted()) {
        if (active_) {
            active_ = false;
            {
                std::lock_guard lock(mutex_);
                queue_.push_back(kStop);
            }
            changed_.notify_one();
        }
        return;
    }
    active_ = true;
    const bool video = inputs_[pool_.At(index).input].video;
    {
        std::lock_guard lock(mutex_);
        int& queued = video ? queuedPictures_ : queuedSounds_;
        if (queued >= (video ? kMaxQueuedPictures : kMaxQueuedSounds)) return;
        ++queued;
        pool_.Hold(index);
        queue_.push_back(index);
    }
    changed_.notify_one();
}

void BrowserRendition::End() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(kEnd);
    }
    changed_.notify_one();
    thread_.join();
    active_ = false;
}

void BrowserRendition::Statistics(std::uint64_t* pictures, std::uint64_t* sounds,
                                  bool* running) const {
    *pictures = pictures_;
    *sounds = sounds_;
    *running = running_;
}

void BrowserRendition::Run() {
    // Named, so that its CPU time can be told apart (bench/browser reads it).
    pthread_setname_np(pthread_self(), "wmv-rendition");
    for (;;) {
        int item = kEnd;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !queue_.empty(); });
            item = queue_.front();
            queue_.pop_front();
        }
        if (item == kEnd) break;
        if (item == kStop) {
            Close();
            failed_ = false;  // the next viewer tries again
            continue;
        }
        const Slot& slot = pool_.At(item);
        if (!open_ && !failed_) {
            const HRESULT hr = Open();
            if (FAILED(hr)) {
                Close();
                failed_ = true;
                report_("the browser rendition could not start", AVERROR(EINVAL));
            }
        }
        if (open_) Encode(slot);
        {
            std::lock_guard lock(mutex_);
            --(inputs_[slot.input].video ? queuedPictures_ : queuedSounds_);
        }
        pool_.Done(item);
    }
    Close();
}

HRESULT BrowserRendition::Open() {
    video_.clear();
    audio_.clear();
    track_.assign(inputs_.size(), 0);
    std::vector<WebmTrack> tracks;
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        const RenditionInput& input = inputs_[i];
        WebmTrack track;
        track.video = input.video;
        if (input.video) {
            auto encoder = std::make_unique<VideoEncoder>(&report_);
            HRESULT hr = encoder->Open(RenditionVideoSettings(input));
            if (FAILED(hr)) return hr;
            track.codecId = "V_VP8";
            track.width = encoder->Context()->width;
            track.height = encoder->Context()->height;
            track.defaultDurationNs = 1000000000u / static_cast<std::uint64_t>(encoder->Fps());
            video_.push_back(std::move(encoder));
            audio_.push_back(nullptr);
        } else {
            auto encoder = std::make_unique<AudioEncoder>(&report_);
            HRESULT hr = encoder->Open(RenditionAudioSettings(input));
            if (FAILED(hr)) return hr;
            const AVCodecContext* c = encoder->Context();
            track.codecId = "A_OPUS";
            track.sampleRate = kOpusRate;
            track.channels = input.channels;
            if (c->extradata && c->extradata_size > 0)
                track.codecPrivate.assign(c->extradata, c->extradata + c->extradata_size);
            track.codecDelayNs =
                static_cast<std::uint64_t>(c->initial_padding) * 1000000000u / kOpusRate;
            track.seekPreRollNs = kOpusSeekPreRollNs;
            track.defaultDurationNs = kOpusFrameNs;
            video_.push_back(nullptr);
            audio_.push_back(std::move(encoder));
        }
        track_[i] = tracks.size();
        tracks.push_back(std::move(track));
    }
    muxer_ = std::make_unique<WebmMuxer>(
        std::move(tracks), [this](const std::uint8_t* cluster, std::size_t size, bool start) {
            sinks_.Deliver(StreamKind::Rendition, cluster, size, start);
        });
    sinks_.Start(StreamKind::Rendition, muxer_->Header());
    keyDone_ = false;
    open_ = true;
    running_ = true;
    return S_OK;
}

void BrowserRendition::Close() {
    if (muxer_) muxer_->Flush();
    muxer_.reset();
    video_.clear();
    audio_.clear();
    if (open_) sinks_.End(StreamKind::Rendition);
    open_ = false;
    running_ = false;
}

void BrowserRendition::Encode(const Slot& slot) {
    const std::size_t input = slot.input;
    const std::size_t track = track_[input];
    if (VideoEncoder* video = video_[input].get()) {
        // The first picture is a key frame anyway; later ones when a viewer
        // has just joined.
        const bool key = sinks_.TakeKeyFrameRequest() && keyDone_;
        const int fps = video->Fps();
        video->Encode(slot.data.data(), slot.length, slot.time, key, [&](AVPacket* packet) {
            const std::int64_t ms = packet->pts * 1000 / fps;
            muxer_->Add(track, packet->flags & AV_PKT_FLAG_KEY, ms, packet->data,
                        static_cast<std::size_t>(packet->size));
            ++pictures_;
        });
        keyDone_ = true;
    } else if (AudioEncoder* audio = audio_[input].get()) {
        audio->Encode(slot.data.data(), slot.length, slot.time, [&](AVPacket* packet) {
            const std::int64_t pts = packet->pts == AV_NOPTS_VALUE ? 0 : packet->pts;
            muxer_->Add(track, true, pts * 1000 / kOpusRate, packet->data,
                        static_cast<std::size_t>(packet->size));
            ++sounds_;
        });
    }
}

}  // namespace wmv
