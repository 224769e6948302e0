// The stream server's request parser and the Windows Media chunk framing,
// on hand-made bytes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wmvcore/MmsFraming.h"
#include "wmvcore/StreamRequest.h"

using namespace wmv;

namespace {

TEST(StreamRequest, ReadsMethodPathAndClientKind) {
    const struct {
        std::string head;
        bool valid;
        const char* method;
        const char* path;
        RequestKind kind;
    } cases[] = {
        {"GET /MyFile.wma HTTP/1.0\r\nUser-Agent: curl\r\n\r\n", true, "GET", "/MyFile.wma",
         RequestKind::Plain},
        {"GET / HTTP/1.1\n\n", true, "GET", "/", RequestKind::Plain},
        {"HEAD /live.webm?restart=3 HTTP/1.1\r\n\r\n", true, "HEAD", "/live.webm",
         RequestKind::Plain},
        // Windows Media clients: a describe request, then the one that plays.
        {"GET /MyFile.wma HTTP/1.0\r\nUser-Agent: NSPlayer/4.1.0.3856\r\n\r\n", true, "GET",
         "/MyFile.wma", RequestKind::Describe},
        {"GET / HTTP/1.0\r\npragma: xClientGUID={c77e7400-738a}\r\n\r\n", true, "GET", "/",
         RequestKind::Describe},
        {"GET / HTTP/1.0\r\nUser-Agent: NSServer/9\r\nPragma: xPlayStrm=1\r\n\r\n", true, "GET",
         "/", RequestKind::Play},
        // A malformed header line (ffmpeg's client sends one) is skipped.
        {"GET /x HTTP/1.0\r\nPragma: xPlayStrm=1\r\nno colon here\r\nPragma: "
         "stream-time=0Connection: Close\r\n\r\n",
         true, "GET", "/x", RequestKind::Play},
        // xPlayStrm=0 is a describe request, not a play request.
        {"GET / HTTP/1.0\r\nPragma: xClientGUID={1}, xPlayStrm=0\r\n\r\n", true, "GET", "/",
         RequestKind::Describe},
        {"GARBAGE\r\n\r\n", false, "", "", RequestKind::Plain},
        {"GET MyFile.wma HTTP/1.0\r\n\r\n", false, "GET", "", RequestKind::Plain},
        {"GET /MyFile.wma\r\n\r\n", false, "", "", RequestKind::Plain},
        {"GET /MyFile.wma FTP/1.0\r\n\r\n", false, "", "", RequestKind::Plain},
        {"", false, "", "", RequestKind::Plain},
    };
    for (const auto& c : cases) {
        const StreamRequest request = ParseRequest(c.head);
        EXPECT_EQ(request.valid, c.valid) << c.head;
        if (!c.valid) continue;
        EXPECT_EQ(request.method, c.method) << c.head;
        EXPECT_EQ(request.path, c.path) << c.head;
        EXPECT_EQ(request.kind, c.kind) << c.head;
    }
}

TEST(StreamRequest, HeadIsCompleteAtTheEmptyLine) {
    const struct {
        const char* head;
        bool complete;
    } cases[] = {
        {"GET / HTTP/1.0\r\n", false},
        {"GET / HTTP/1.0\r\nHost: a\r\n\r", false},
        {"GET / HTTP/1.0\r\nHost: a\r\n\r\n", true},
        {"GET / HTTP/1.0\n\n", true},
        // Line ends mixed: the empty line ends the head however each is made.
        {"GET / HTTP/1.0\nHost: a\n\r\n", true},
        {"GET / HTTP/1.0\r\nHost: a\r\n\n", true},
        {"GET / HTTP/1.0\r\nHost: a\r\r\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(RequestHeadComplete(c.head), c.complete) << c.head;
}

std::vector<int> Bytes(const std::uint8_t* p, std::size_t size) {
    return std::vector<int>(p, p + size);
}

TEST(MmsFraming, PrefixesCarryTypeLengthAndSequence) {
    std::uint8_t prefix[kChunkPrefixSize];
    ChunkPrefix(prefix, kChunkHeader, 0x1234, 0x01020304, 0x0C);
    // "$H", length = payload + 8 (twice), sequence, 0, flags.
    EXPECT_EQ(Bytes(prefix, sizeof prefix),
              (std::vector<int>{'$', 'H', 0x3C, 0x12, 4, 3, 2, 1, 0, 0x0C, 0x3C, 0x12}));
    ChunkPrefix(prefix, kChunkData, 1500, 7, 0);
    EXPECT_EQ(Bytes(prefix, sizeof prefix),
              (std::vector<int>{'$', 'D', 0xE4, 0x05, 7, 0, 0, 0, 0, 0, 0xE4, 0x05}));
    std::uint8_t end[kEndChunkSize];
    EndChunk(end, 0x10000);
    EXPECT_EQ(Bytes(end, sizeof end), (std::vector<int>{'$', 'E', 4, 0, 0, 0, 1, 0}));
}

}  // namespace
