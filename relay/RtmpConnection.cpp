#include "relay/RtmpConnection.h"

#include <netdb.h>

#include <memory>

namespace relay {

namespace {

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The host of an rtmp:// or rtmps:// address, for a name lookup of our own:
// FFmpeg's failed lookup reads as a plain I/O error.
std::string HostOf(const std::string& url) {
    std::size_t start = url.find("://");
    if (start == std::string::npos) return std::string();
    start += 3;
    std::size_t end = url.find('/', start);
    std::string authority =
        url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority.front() == '[')
        return authority.substr(1, authority.find(']') - 1);
    return authority.substr(0, authority.find(':'));
}

}  // namespace

void RtmpConnection::FreeOutput::operator()(AVFormatContext* context) const {
    if (context->pb) avio_closep(&context->pb);
    avformat_free_context(context);
}

int RtmpConnection::Interrupted(void* self) {
    auto* connection = static_cast<RtmpConnection*>(self);
    if (connection->stop_->load()) return 1;
    if (NowNs() > connection->deadline_.load()) {
        connection->timedOut_ = true;
        return 1;
    }
    return 0;
}

void RtmpConnection::ArmDeadline(std::chrono::milliseconds deadline) {
    timedOut_ = false;
    deadline_ = NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(deadline).count();
}

std::string RtmpConnection::ReasonFor(int error, const char* step) const {
    if (stop_->load()) return "stopped";
    if (timedOut_) return std::string("the relay did not answer in time (") + step + ")";
    if (error == AVERROR(ECONNREFUSED)) return "the relay refused the connection";
    if (error == AVERROR_EOF || error == AVERROR(EPIPE) || error == AVERROR(ECONNRESET))
        return std::string("the relay closed the connection (") + step + ")";
    return std::string(step) + " failed: " + AvErrorText(error);
}

bool RtmpConnection::Open(const std::string& url, const Stream& video, const Stream& audio,
                          std::chrono::milliseconds deadline, std::string* reason) {
    Close();
    const std::string host = HostOf(url);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (lookup != 0) {
        *reason = "unknown relay host \"" + host + "\": " + ::gai_strerror(lookup);
        return false;
    }
    ::freeaddrinfo(found);

    AVFormatContext* made = nullptr;
    int result = avformat_alloc_output_context2(&made, nullptr, "flv", nullptr);
    if (result < 0 || !made) {
        *reason = "cannot make the FLV muxer: " + AvErrorText(result);
        return false;
    }
    std::unique_ptr<AVFormatContext, FreeOutput> context(made);
    context->interrupt_callback = AVIOInterruptCB{&RtmpConnection::Interrupted, this};
    // Each packet leaves at once: the relay's viewers wait for nothing.
    context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    context->flush_packets = 1;
    int index = 0;
    for (const Stream* given : {&video, &audio}) {
        if (!given->parameters) continue;
        AVStream* stream = avformat_new_stream(context.get(), nullptr);
        if (!stream || avcodec_parameters_copy(stream->codecpar, given->parameters) < 0) {
            *reason = "cannot describe the streams";
            return false;
        }
        stream->time_base = AVRational{1, 1000};
        codecTimeBase_[index++] = given->timeBase;
    }

    ArmDeadline(deadline);
    AVDictionary* options = nullptr;
    // A small send buffer: a relay that stops reading is noticed within
    // seconds instead of after megabytes of stale pictures.
    av_dict_set(&options, "send_buffer_size", "131072", 0);
    av_dict_set(&options, "rtmp_live", "live", 0);
    result = avio_open2(&context->pb, url.c_str(), AVIO_FLAG_WRITE, &context->interrupt_callback,
                        &options);
    av_dict_free(&options);
    if (result < 0) {
        // Past a refused connection and a timeout, what is left is a relay
        // that answered and would not take the stream: most often a wrong
        // stream key or application.
        if (timedOut_ || result == AVERROR(ECONNREFUSED) || stop_->load())
            *reason = ReasonFor(result, "connecting and publishing");
        else
            *reason = "the relay did not take the stream (" + AvErrorText(result) +
                      "); are the application and the stream key right?";
        return false;
    }
    ArmDeadline(deadline);
    result = avformat_write_header(context.get(), nullptr);
    if (result < 0) {
        *reason = ReasonFor(result, "writing the header");
        return false;
    }
    context_ = std::move(context);
    return true;
}

bool RtmpConnection::Write(AVPacket* packet, int stream, std::chrono::milliseconds deadline,
                           std::string* reason) {
    if (!context_ || stream < 0 || stream >= static_cast<int>(context_->nb_streams)) {
        *reason = "not connected";
        return false;
    }
    av_packet_rescale_ts(packet, codecTimeBase_[stream], context_->streams[stream]->time_base);
    packet->stream_index = stream;
    ArmDeadline(deadline);
    const int result = av_write_frame(context_.get(), packet);
    if (result >= 0 && context_->pb && context_->pb->error >= 0) return true;
    *reason = ReasonFor(result < 0 ? result : context_->pb->error, "sending");
    return false;
}

void RtmpConnection::Close() {
    if (!context_) return;
    // Saying goodbye to a relay that hangs must not hang us.
    ArmDeadline(std::chrono::milliseconds(500));
    context_.reset();
}

std::int64_t RtmpConnection::BytesSent() const {
    return context_ && context_->pb ? avio_tell(context_->pb) : 0;
}

}  // namespace relay
