#include "wmvcore/AsfChannel.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "platform/HandOffTrace.h"
#include "wmvcore/AsfPacket.h"
#include "wmvcore/MmsFraming.h"
#include "wmvcore/wmvcore.h"

namespace wmv {
namespace {

constexpr std::size_t kSendBudget = 256 * 1024;  // bytes per viewer per round
constexpr std::size_t kBatch = 16;               // framed packets per send call
// What is kept of the stream, by the packets' own times rather than by the
// rate the header declares (an encoder that cannot reach a low rate goes
// above it): the longest backlog a viewer joins with and a key-frame
// spacing on top. The units and bytes only bound a stream gone wild.
constexpr LiveQueue::Limits kKept{65536, 64 * 1024 * 1024, 10000};
// Players on FFmpeg (mpv, ffplay) read this many pictures to guess the
// picture rate before they show one, whatever the header says; a viewer
// joins with all but a second's worth of them already there, so they start
// at once. Others play from the key frame they begin with, so the backlog
// is what they run behind: it is kept to that.
constexpr std::int64_t kRateGuessPictures = 40;
constexpr std::int64_t kLongestBacklogMs = 7000;

std::int64_t JoinBacklogMs(std::int64_t timePerFrame) {
    if (timePerFrame <= 0) return 0;
    const std::int64_t perSecond = std::max<std::int64_t>(1, 10000000 / timePerFrame);
    const std::int64_t pictures = std::max<std::int64_t>(0, kRateGuessPictures - perSecond);
    return std::min(kLongestBacklogMs, pictures * timePerFrame / 10000);
}

}  // namespace

class AsfViewer final : public Viewer {
  public:
    AsfViewer(AsfChannel& channel, bool framed, bool describe)
        : channel_(channel), framed_(framed), describe_(describe), reader_(channel.queue_) {}

    bool HasData() override { return reader_.HasData(); }

    void Pump(Connection& connection) override;
    void StartStream(Connection& connection);

  private:
    void StartAtKeyFrame(Connection& connection);
    bool SendTaken(Connection& connection, std::size_t& budget);

    AsfChannel& channel_;
    const bool framed_;
    const bool describe_;
    LiveQueue::Reader reader_;
    std::uint16_t keyStream_ = 0;  // of the stream whose header the viewer got
    std::size_t offset_ = 0;       // into prefix + packet
    std::uint32_t chunkSeq_ = 0;
    std::uint8_t prefixes_[kBatch][kChunkPrefixSize] = {};  // framing of the packets being sent
};

HRESULT AsfChannel::OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                             std::uint16_t keyStream) {
    if (!header || size == 0 || size > 0xFFFF - 8 || packetSize == 0) return E_INVALIDARG;
    // Without a key stream any packet will do for a start.
    const auto join =
        keyStream ? LiveQueue::JoinPolicy::LatestStart : LiveQueue::JoinPolicy::NextUnit;
    const std::int64_t backlog =
        keyStream ? JoinBacklogMs(HeaderTimePerFrame(header, size, keyStream)) : 0;
    std::lock_guard lock(settingsMutex_);
    const HRESULT hr = queue_.Begin(header, size, kKept, join, backlog);
    if (FAILED(hr)) return hr;
    packetSize_ = packetSize;
    keyStream_ = keyStream;
    return S_OK;
}

HRESULT AsfChannel::OnDataUnit(const std::uint8_t* packets, std::size_t size) {
    if (!packets) return E_POINTER;
    std::lock_guard lock(settingsMutex_);
    if (packetSize_ == 0 || size == 0 || size % packetSize_ != 0) return E_INVALIDARG;
    for (std::size_t at = 0; at < size; at += packetSize_) {
        const std::uint8_t* one = packets + at;
        const bool key = keyStream_ && PacketStartsKeyFrame(one, packetSize_, keyStream_);
        const HRESULT hr = queue_.Push(one, packetSize_, key, PacketSendTime(one, packetSize_));
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT AsfChannel::OnEndWriting() {
    return queue_.End();
}

std::unique_ptr<Viewer> AsfChannel::NewViewer(Connection& connection, bool framed, bool describe) {
    auto viewer = std::make_unique<AsfViewer>(*this, framed, describe);
    viewer->StartStream(connection);
    return viewer;
}

// Puts the stream header into the connection's output once there is one.
void AsfViewer::StartStream(Connection& connection) {
    std::shared_ptr<const std::vector<std::uint8_t>> header;
    {
        std::lock_guard lock(channel_.settingsMutex_);
        header = reader_.TakeHeader();
        keyStream_ = channel_.keyStream_;
    }
    if (!header) return;
    if (framed_) {
        std::uint8_t prefix[kChunkPrefixSize];
        ChunkPrefix(prefix, kChunkHeader, header->size(), chunkSeq_++, 0x0C);
        connection.out.append(reinterpret_cast<const char*>(prefix), sizeof(prefix));
    }
    connection.out.append(reinterpret_cast<const char*>(header->data()), header->size());
    // A describe request ends with the header.
    if (describe_) connection.closeAfterOut = true;
}

void AsfViewer::Pump(Connection& connection) {
    if (connection.state == Connection::State::Streaming && reader_.LateAfterEnd()) {
        connection.Drop();
        return;
    }
    if (!reader_.HasHeader()) {
        StartStream(connection);
        // Before the first header only the response head may go out.
        if (!reader_.HasHeader()) {
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
    while (budget > 0) {
        // A framed packet takes two parts of the send call, prefix and
        // packet; a plain one takes one.
        switch (reader_.Next(framed_ ? kBatch : 2 * kBatch, budget + offset_)) {
            case LiveQueue::Step::Wait:
                return;
            case LiveQueue::Step::Drop:
                connection.Drop();
                return;
            case LiveQueue::Step::Start:
                StartAtKeyFrame(connection);
                return;  // sent from the output on the next round
            case LiveQueue::Step::End:
                if (framed_) {
                    std::uint8_t end[kEndChunkSize];
                    EndChunk(end, chunkSeq_++);
                    connection.out.assign(reinterpret_cast<const char*>(end), sizeof(end));
                }
                connection.closeAfterOut = true;
                if (connection.SendOut()) connection.Drop();
                return;
            case LiveQueue::Step::Units:
                if (!SendTaken(connection, budget)) return;
                break;
        }
    }
}

// The first packet goes out as a private copy without the video before the
// key frame and the pieces of frames begun before it, so the viewer's first
// frames are whole and its first picture is the key frame.
void AsfViewer::StartAtKeyFrame(Connection& connection) {
    const std::span<const std::uint8_t> packet = reader_.Unit(0);
    if (framed_) {
        std::uint8_t prefix[kChunkPrefixSize];
        ChunkPrefix(prefix, kChunkData, packet.size(), chunkSeq_++, 0);
        connection.out.append(reinterpret_cast<const char*>(prefix), sizeof(prefix));
    }
    const std::size_t at = connection.out.size();
    connection.out.append(reinterpret_cast<const char*>(packet.data()), packet.size());
    TrimPacketForNewViewer(reinterpret_cast<std::uint8_t*>(connection.out.data()) + at,
                           packet.size(), keyStream_);
    reader_.Advance(1);
}

// Everything taken, from offset_ on, in one call: fewer system calls per
// viewer when packets come in bursts. No lock is held across the call; the
// packets taken stay as they are until the reader's next call. False when
// the socket took less than it was offered or the connection was dropped.
bool AsfViewer::SendTaken(Connection& connection, std::size_t& budget) {
    const std::size_t prefixSize = framed_ ? kChunkPrefixSize : 0;
    iovec parts[2 * kBatch] = {};
    std::size_t count = 0;
    std::size_t offset = offset_;
    std::size_t gathered = 0;
    for (std::size_t unit = 0; unit < reader_.Taken() && gathered < budget; ++unit) {
        const std::span<const std::uint8_t> packet = reader_.Unit(unit);
        if (framed_) {
            std::uint8_t* prefix = prefixes_[unit];
            ChunkPrefix(prefix, kChunkData, packet.size(),
                        chunkSeq_ + static_cast<std::uint32_t>(unit), 0);
            if (offset < prefixSize) {
                parts[count++] = {prefix + offset, prefixSize - offset};
                gathered += prefixSize - offset;
            }
        }
        const std::size_t skip = offset > prefixSize ? offset - prefixSize : 0;
        // iovec wants a pointer it may write through; sendmsg only reads.
        parts[count++] = {const_cast<std::uint8_t*>(packet.data()) + skip, packet.size() - skip};
        gathered += packet.size() - skip;
        offset = 0;
    }
    const ssize_t n = connection.Send(parts, count);
    if (n < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK)
            connection.Blocked();
        else if (error != EINTR)
            connection.Drop();
        return false;
    }
    connection.blocked = false;
    // Less taken than offered: the socket is full now.
    if (static_cast<std::size_t>(n) < gathered) connection.Blocked();
    budget -= std::min(budget, static_cast<std::size_t>(n));
    std::size_t sent = static_cast<std::size_t>(n);
    for (std::size_t unit = 0; sent > 0; ++unit) {
        const std::size_t left = prefixSize + reader_.Unit(unit).size() - offset_;
        if (sent < left) {
            offset_ += sent;
            break;
        }
        sent -= left;
        offset_ = 0;
        if (keyStream_ && handoff::Enabled()) {
            const auto packet = reader_.Unit(unit);
            const std::int64_t time =
                LastPresentationTime(packet.data(), packet.size(), keyStream_);
            if (time >= 0) handoff::Mark("sent", time);
        }
        reader_.Advance(1);
        ++chunkSeq_;
    }
    return static_cast<std::size_t>(n) == gathered;
}

}  // namespace wmv
