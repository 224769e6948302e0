#pragma once
// Packs encoded frames into a live ASF stream. FFmpeg's muxer writes the
// header; the data packets are our own, so that each picture leaves as soon
// as it is encoded (the muxer would hold video back until the audio that
// covers it is encoded). Packets are sized so that padding and packet headers
// together cost least.

#include <cstdint>
#include <memory>
#include <vector>

#include "wmvcore/AsfPacket.h"
#include "wmvcore/Internal.h"

namespace wmv {

class AsfMuxer {
  public:
    // One stream of the file, in the order of the writer's inputs.
    struct Stream {
        const AVCodecContext* context = nullptr;
        bool video = false;
        int fps = 0;  // video only
    };

    // Writes the header for the streams and makes ready for data packets,
    // which go to deliver in bursts.
    HRESULT Open(const std::vector<Stream>& streams, DataPacketWriter::Deliver deliver);

    // Adds an encoded packet of a stream (times in its codec's time base)
    // and hands on what is ready.
    void Add(std::size_t stream, AVPacket* packet);
    // Hands on everything that is left and ends the file.
    void Finish();

    // The header with the data object header, as players start with it.
    const std::vector<std::uint8_t>& Header() const { return header_; }
    std::uint32_t PacketSize() const { return packetSize_; }
    // The stream number whose key frames a new viewer starts at, or 0.
    std::uint16_t KeyStream() const { return keyStream_; }

  private:
    static int Write(void* opaque, std::uint8_t* data, int size);

    struct Entry {
        AVStream* stream = nullptr;
        AVRational timeBase{};
        bool video = false;
    };
    std::vector<Entry> streams_;
    IoContextPtr io_;
    FormatContextPtr mux_;  // goes before the output it writes to
    std::vector<std::uint8_t> headerBytes_;
    bool headerDone_ = false;
    std::unique_ptr<DataPacketWriter> packets_;
    std::vector<std::uint8_t> header_;
    std::uint32_t packetSize_ = 0;
    std::uint16_t keyStream_ = 0;
};

}  // namespace wmv
