#include "codec/SharedEncode.h"

#include <pthread.h>

#include <algorithm>

namespace codec {

SharedEncode::SharedEncode(MediaShape shape, std::chrono::milliseconds queueLimit,
                           std::size_t queueBytesLimit)
    : shape_(shape), queue_(queueLimit, queueBytesLimit) {
    thread_ = std::thread([this] { Run(); });
}

SharedEncode::~SharedEncode() {
    stop_ = true;
    attention_ = true;
    queue_.Wake();
    thread_.join();
}

void SharedEncode::Join(EncodedSubscriber* subscriber) {
    std::lock_guard guard(lock_);
    for (const Entry& entry : entries_)
        if (entry.subscriber == subscriber) return;
    if (entries_.empty()) {
        ++run_;
        queue_.Open();
    }
    entries_.push_back(Entry{subscriber, false, false});
    // A running encode makes its next picture a key frame for the newcomer.
    keyWanted_ = true;
    attention_ = true;
    queue_.Wake();
}

void SharedEncode::Leave(EncodedSubscriber* subscriber) {
    std::lock_guard delivery(deliveryLock_);
    std::lock_guard guard(lock_);
    std::erase_if(entries_, [&](const Entry& entry) { return entry.subscriber == subscriber; });
    if (!entries_.empty()) return;
    // The last one: the encoders go.
    queue_.Close();
    attention_ = true;
    queue_.Wake();
}

void SharedEncode::PushVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time) {
    if (shape_.width > 0) queue_.Push(true, bgr, length, time);
}

void SharedEncode::PushAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time) {
    if (shape_.sampleRate > 0) queue_.Push(false, pcm, length, time);
}

void SharedEncode::Run() {
    // Named, so that its CPU time can be told apart (bench/browser reads it).
    pthread_setname_np(pthread_self(), "luma-encode");
    SampleQueue::Sample sample;
    bool afterDrop = false;
    for (;;) {
        if (attention_.exchange(false)) {
            if (stop_) break;
            Attend();
        }
        if (!queue_.Take(&sample, &afterDrop, attention_)) continue;
        if (!encoder_) continue;  // nobody is there, or this run's encoders failed
        // Only whole groups of pictures were dropped: the next starts one.
        if (afterDrop) keyWanted_ = true;
        Encode(sample);
    }
    encoder_.reset();
}

void SharedEncode::Attend() {
    std::uint64_t run = 0;
    bool anyone = false;
    {
        std::lock_guard guard(lock_);
        run = run_;
        anyone = !entries_.empty();
    }
    if (!anyone) {
        encoder_.reset();
        return;
    }
    if (run != encoderRun_) {
        encoderRun_ = run;
        if (!OpenRun()) return;
    }
    if (!encoder_) return;
    std::lock_guard delivery(deliveryLock_);
    std::vector<EncodedSubscriber*> newcomers;
    {
        std::lock_guard guard(lock_);
        for (Entry& entry : entries_) {
            if (entry.told) continue;
            entry.told = true;
            newcomers.push_back(entry.subscriber);
        }
    }
    const EncodedStreams streams{encoder_->Video(), encoder_->Audio(),
                                 encoder_->AudioStreamIndex()};
    for (EncodedSubscriber* subscriber : newcomers) subscriber->OnStreams(streams);
}

bool SharedEncode::OpenRun() {
    encoder_ = std::make_unique<AvcAacEncoder>();
    origin_ = -1;
    std::string error;
    if (encoder_->Open(shape_, &error)) return true;
    encoder_.reset();
    Fail("cannot encode: " + error);
    return false;
}

void SharedEncode::Encode(const SampleQueue::Sample& sample) {
    // The run's clock starts at its first picture (its first sound when
    // there are no pictures), which the encoder makes a key frame.
    if (origin_ < 0) {
        if (encoder_->Video() && !sample.video) return;
        origin_ = sample.time;
    }
    const std::int64_t time = sample.time - origin_;
    if (time < 0) return;
    const AvcAacEncoder::Output output = [this](AVPacket* packet, int stream) {
        Deliver(packet, stream);
        return true;
    };
    bool encoded = true;
    if (sample.video) {
        if (keyWanted_.exchange(false)) encoder_->ForceKeyFrame();
        encoded = encoder_->EncodeVideo(sample.bytes.data(), sample.bytes.size(), time, output);
        if (encoded) ++picturesEncoded_;
    } else {
        encoded = encoder_->EncodeAudio(sample.bytes.data(), sample.bytes.size(), time, output);
    }
    if (!encoded) {
        encoder_.reset();
        Fail("encoding failed");
    }
}

void SharedEncode::Deliver(AVPacket* packet, int stream) {
    std::lock_guard delivery(deliveryLock_);
    // A subscriber begins with a key frame, or with any sound where there
    // are no pictures.
    const bool start = !encoder_->Video() || (stream == 0 && (packet->flags & AV_PKT_FLAG_KEY));
    std::vector<EncodedSubscriber*> due;
    {
        std::lock_guard guard(lock_);
        for (Entry& entry : entries_) {
            if (entry.told && start) entry.begun = true;
            if (entry.begun) due.push_back(entry.subscriber);
        }
    }
    for (EncodedSubscriber* subscriber : due) subscriber->OnPacket(*packet, stream);
}

void SharedEncode::Fail(const std::string& reason) {
    std::lock_guard delivery(deliveryLock_);
    std::vector<Entry> entries;
    {
        std::lock_guard guard(lock_);
        entries.swap(entries_);
        queue_.Close();
    }
    for (const Entry& entry : entries) entry.subscriber->OnFailed(reason);
}

}  // namespace codec
