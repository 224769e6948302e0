#pragma once
// One publishing connection to a relay: FLV over FFmpeg's RTMP protocol.
// Every blocking step (name lookup aside, connecting, the RTMP handshake and
// publish, each write, the close) runs under FFmpeg's interrupt callback
// with a deadline, so a frozen or silent relay costs at most that long and
// a stop request ends any of them at once. Used on the publisher's thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/FfmpegHandles.h"

namespace relay {

class RtmpConnection {
  public:
    // stop is checked by every blocking step; it outlives the connection.
    explicit RtmpConnection(const std::atomic<bool>* stop) : stop_(stop) {}
    ~RtmpConnection() { Close(); }
    RtmpConnection(const RtmpConnection&) = delete;
    RtmpConnection& operator=(const RtmpConnection&) = delete;

    // One stream of the connection: its codec and the time base of its
    // packets.
    struct Stream {
        const AVCodecParameters* parameters = nullptr;
        AVRational timeBase{1, 1000};
    };
    // Connects to url, publishes and writes the FLV header with the
    // streams of video and audio (either may have no parameters). False
    // with a reason for the user (never holding the address) on failure.
    bool Open(const std::string& url, const Stream& video, const Stream& audio,
              std::chrono::milliseconds deadline, std::string* reason);
    // Writes one packet of stream (0 video, then audio) from its codec's
    // time base. False with a reason when the relay failed or the write
    // took longer than the deadline.
    bool Write(AVPacket* packet, int stream, std::chrono::milliseconds deadline,
               std::string* reason);
    // Ends the connection within a short deadline; safe to call twice.
    void Close();

    // Bytes handed to the relay on this connection.
    std::int64_t BytesSent() const;

  private:
    static int Interrupted(void* self);
    void ArmDeadline(std::chrono::milliseconds deadline);
    std::string ReasonFor(int error, const char* step) const;

    struct FreeOutput {
        void operator()(AVFormatContext* context) const;
    };

    const std::atomic<bool>* stop_;
    std::unique_ptr<AVFormatContext, FreeOutput> context_;
    AVRational codecTimeBase_[2] = {{1, 1000}, {1, 1000}};
    std::atomic<std::int64_t> deadline_{0};  // steady clock, ns
    bool timedOut_ = false;
};

}  // namespace relay
