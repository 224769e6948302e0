#include "wmvcore/AsfChannel.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "wmvcore/AsfPacket.h"
#include "wmvcore/MmsFraming.h"
#include "wmvcore/wmvcore.h"

namespace wmv {
namespace {

constexpr auto kEndGrace = std::chrono::seconds(3);
constexpr std::size_t kSendBudget = 256 * 1024;  // bytes per viewer per round
constexpr int kBatch = 16;                       // packets per send call
constexpr int kRingSeconds = 6;                  // more than the longest key-frame spacing

}  // namespace

class AsfViewer final : public Viewer {
  public:
    AsfViewer(AsfChannel& channel, bool framed, bool describe)
        : channel_(channel), framed_(framed), describe_(describe) {}

    bool HasData() override {
        std::lock_guard lock(channel_.mutex_);
        return channel_.ended_ || (!waitingStart_ && seq_ < channel_.head_);
    }

    void Pump(Connection& connection) override;
    void StartStream(Connection& connection);

  private:
    AsfChannel& channel_;
    const bool framed_;
    const bool describe_;
    bool waitingHeader_ = true;
    bool waitingStart_ = true;
    std::uint64_t generation_ = 0;
    std::uint64_t seq_ = 0;
    std::size_t offset_ = 0;  // into prefix + packet
    std::uint32_t chunkSeq_ = 0;
    std::uint8_t prefixes_[kBatch][kChunkPrefixSize] = {};  // framing of the packets being sent
};

HRESULT AsfChannel::OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                             std::uint16_t keyStream, std::uint32_t bitsPerSecond) {
    if (!header || size == 0 || size > 0xFFFF - 8 || packetSize == 0) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    try {
        header_.assign(header, header + size);
        const std::uint64_t bytesPerSecond = std::max<std::uint64_t>(bitsPerSecond / 8, 16000);
        slots_ =
            std::clamp<std::uint64_t>(bytesPerSecond * kRingSeconds / packetSize + 1, 64, 16384);
        ring_.assign(slots_ * packetSize, 0);
    } catch (const std::bad_alloc&) {
        haveHeader_ = false;
        return E_OUTOFMEMORY;
    }
    packetSize_ = packetSize;
    keyStream_ = keyStream;
    head_ = 0;
    lastKey_ = UINT64_MAX;
    ended_ = false;
    haveHeader_ = true;
    ++generation_;
    return S_OK;
}

HRESULT AsfChannel::OnDataUnit(const std::uint8_t* packets, std::size_t size) {
    if (!packets) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!haveHeader_ || ended_ || size == 0 || size % packetSize_ != 0) return E_INVALIDARG;
    for (std::size_t at = 0; at < size; at += packetSize_) {
        const std::uint8_t* one = packets + at;
        std::memcpy(ring_.data() + (head_ % slots_) * packetSize_, one, packetSize_);
        if (keyStream_ && PacketStartsKeyFrame(one, packetSize_, keyStream_)) lastKey_ = head_;
        ++head_;
    }
    return S_OK;
}

HRESULT AsfChannel::OnEndWriting() {
    std::lock_guard lock(mutex_);
    if (!haveHeader_ || ended_) return S_FALSE;
    ended_ = true;
    endedAt_ = Clock::now();
    return S_OK;
}

std::unique_ptr<Viewer> AsfChannel::NewViewer(Connection& connection, bool framed, bool describe) {
    auto viewer = std::make_unique<AsfViewer>(*this, framed, describe);
    viewer->StartStream(connection);
    return viewer;
}

// Puts the stream header into the connection's output once there is one.
void AsfViewer::StartStream(Connection& connection) {
    std::lock_guard lock(channel_.mutex_);
    if (!channel_.haveHeader_ || channel_.ended_) return;
    if (framed_) {
        std::uint8_t prefix[kChunkPrefixSize];
        ChunkPrefix(prefix, kChunkHeader, channel_.header_.size(), chunkSeq_++, 0x0C);
        connection.out.append(reinterpret_cast<const char*>(prefix), sizeof(prefix));
    }
    connection.out.append(reinterpret_cast<const char*>(channel_.header_.data()),
                          channel_.header_.size());
    generation_ = channel_.generation_;
    waitingHeader_ = false;
    waitingStart_ = true;
    // A describe request ends with the header.
    if (describe_) connection.closeAfterOut = true;
}

void AsfViewer::Pump(Connection& connection) {
    if (connection.state == Connection::State::Streaming) {
        std::lock_guard lock(channel_.mutex_);
        if (channel_.ended_ && Clock::now() - channel_.endedAt_ > kEndGrace) {
            connection.Drop();
            return;
        }
    }
    if (waitingHeader_) {
        StartStream(connection);
        // Before the first header only the response head may go out.
        if (waitingHeader_) {
            connection.SendOut();
            return;
        }
    }
    if (!connection.SendOut()) return;
    if (connection.closeAfterOut || connection.state == Connection::State::Sending) {
        connection.Drop();
        return;
    }
    std::size_t budget = kSendBudget;
    std::unique_lock lock(channel_.mutex_);
    AsfChannel& c = channel_;
    if (generation_ != c.generation_) {
        lock.unlock();
        connection.Drop();
        return;
    }
    if (waitingStart_) {
        if (!c.keyStream_) {
            seq_ = c.head_;
            waitingStart_ = false;
        } else if (c.lastKey_ != UINT64_MAX && c.lastKey_ + c.slots_ > c.head_) {
            // The first packet goes out as a private copy in which the video
            // before the key frame is hidden, so the viewer's first frame is
            // the key frame.
            if (framed_) {
                std::uint8_t prefix[kChunkPrefixSize];
                ChunkPrefix(prefix, kChunkData, c.packetSize_, chunkSeq_++, 0);
                connection.out.append(reinterpret_cast<const char*>(prefix), sizeof(prefix));
            }
            const std::size_t at = connection.out.size();
            connection.out.append(reinterpret_cast<const char*>(
                                      c.ring_.data() + (c.lastKey_ % c.slots_) * c.packetSize_),
                                  c.packetSize_);
            HidePayloadsBeforeKeyFrame(reinterpret_cast<std::uint8_t*>(connection.out.data()) + at,
                                       c.packetSize_, c.keyStream_);
            seq_ = c.lastKey_ + 1;
            waitingStart_ = false;
            return;  // sent from the output on the next round
        } else if (c.ended_) {
            lock.unlock();
            connection.Drop();
            return;
        } else {
            return;
        }
    }
    const std::size_t prefixSize = framed_ ? kChunkPrefixSize : 0;
    const std::size_t total = prefixSize + c.packetSize_;
    while (budget > 0) {
        if (c.head_ > c.slots_ && seq_ < c.head_ - c.slots_) {
            // The ring has moved past this viewer: it cannot keep up.
            lock.unlock();
            connection.Drop();
            return;
        }
        if (seq_ >= c.head_) {
            if (!c.ended_) return;
            if (framed_) {
                std::uint8_t end[kEndChunkSize];
                EndChunk(end, chunkSeq_++);
                connection.out.assign(reinterpret_cast<const char*>(end), sizeof(end));
            }
            connection.closeAfterOut = true;
            lock.unlock();
            if (connection.SendOut()) connection.Drop();
            return;
        }
        // Everything the viewer is missing, up to kBatch packets, in one
        // call: fewer system calls per viewer when packets come in bursts.
        iovec parts[2 * kBatch];
        int count = 0;
        std::size_t offset = offset_;
        std::size_t gathered = 0;
        for (std::uint64_t seq = seq_; seq < c.head_ && count < 2 * kBatch && gathered < budget;
             ++seq) {
            const std::size_t unit = static_cast<std::size_t>(seq - seq_);
            if (framed_) {
                std::uint8_t* prefix = prefixes_[unit];
                ChunkPrefix(prefix, kChunkData, c.packetSize_,
                            chunkSeq_ + static_cast<std::uint32_t>(unit), 0);
                if (offset < prefixSize) {
                    parts[count++] = {prefix + offset, prefixSize - offset};
                    gathered += prefixSize - offset;
                }
            }
            const std::size_t skip = offset > prefixSize ? offset - prefixSize : 0;
            parts[count++] = {c.ring_.data() + (seq % c.slots_) * c.packetSize_ + skip,
                              c.packetSize_ - skip};
            gathered += c.packetSize_ - skip;
            offset = 0;
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t n = ::sendmsg(connection.fd.Get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) connection.Blocked();
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            lock.unlock();
            connection.Drop();
            return;
        }
        connection.blocked = false;
        budget -= std::min(budget, static_cast<std::size_t>(n));
        std::size_t sent = static_cast<std::size_t>(n);
        while (sent > 0) {
            const std::size_t left = total - offset_;
            if (sent < left) {
                offset_ += sent;
                break;
            }
            sent -= left;
            offset_ = 0;
            ++seq_;
            ++chunkSeq_;
        }
        if (static_cast<std::size_t>(n) < gathered) return;  // the socket is full
    }
}

}  // namespace wmv
