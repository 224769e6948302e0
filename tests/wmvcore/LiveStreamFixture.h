#pragma once
// A live writer that serves the test picture and a tone through a network
// sink on a port of the system's choosing, for the tests that play it over
// loopback.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/wmvcore/StreamTestSupport.h"

namespace wmvtest {

class LiveStreamFixture : public ::testing::Test {
  public:
    // The size of the test picture.
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;

  protected:
    // Starts writing at 15 frames a second; keySpacing in 100-ns units.
    void StartStream(std::uint32_t maxClients, std::uint32_t bitrate = 400000,
                     std::int64_t keySpacing = 10000000) {
        using namespace wmv;
        IWMWriter* rawWriter = nullptr;
        ASSERT_EQ(WMCreateWriter(nullptr, &rawWriter), S_OK);
        writer = RefPtr<IWMWriter>::Adopt(rawWriter);
        IWMWriterAdvanced* rawAdvanced = nullptr;
        ASSERT_EQ(writer->QueryInterface(&rawAdvanced), S_OK);
        advanced = RefPtr<IWMWriterAdvanced>::Adopt(rawAdvanced);
        IWMWriterNetworkSink* rawSink = nullptr;
        ASSERT_EQ(WMCreateWriterNetworkSink(&rawSink), S_OK);
        sink = RefPtr<IWMWriterNetworkSink>::Adopt(rawSink);
        IWMClientConnections* rawConnections = nullptr;
        ASSERT_EQ(sink->QueryInterface(&rawConnections), S_OK);
        connections = RefPtr<IWMClientConnections>::Adopt(rawConnections);
        ASSERT_EQ(sink->SetNetworkProtocol(WMT_PROTOCOL_HTTP), S_OK);
        port = 0;
        ASSERT_EQ(sink->Open(&port), S_OK);
        ASSERT_NE(port, 0u);
        ASSERT_EQ(sink->SetMaximumClients(maxClients), S_OK);
        ASSERT_EQ(advanced->SetLiveSource(1), S_OK);
        ASSERT_EQ(advanced->SetSyncTolerance(100), S_OK);
        ASSERT_EQ(advanced->AddSink(sink.Get()), S_OK);
        StreamShape shape;
        shape.width = kWidth;
        shape.height = kHeight;
        shape.fps = 15;
        shape.bitrate = bitrate;
        shape.keySpacing = keySpacing;
        WAVEFORMATEX wave{};
        auto profile = BuildProfile(shape, &wave);
        ASSERT_TRUE(profile);
        ASSERT_EQ(writer->SetProfile(profile.Get()), S_OK);
        ASSERT_EQ(writer->BeginWriting(), S_OK);
        feeder = std::make_unique<LiveFeeder>(writer.Get(), 0, 1, kWidth, kHeight, shape.fps, wave);
        feeder->Start();
    }

    void StopWriting() {
        if (feeder) feeder->Stop();
        if (writer) {
            writer->Flush();
            writer->EndWriting();
        }
    }

    void TearDown() override {
        StopWriting();
        if (advanced && sink) advanced->RemoveSink(sink.Get());
        if (sink) sink->Close();
    }

    std::uint32_t Clients() {
        std::uint32_t count = 0;
        EXPECT_EQ(connections->GetClientCount(&count), S_OK);
        return count;
    }

    std::string UrlOf(const char* scheme, const char* path) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
    }

    RefPtr<wmv::IWMWriter> writer;
    RefPtr<wmv::IWMWriterAdvanced> advanced;
    RefPtr<wmv::IWMWriterNetworkSink> sink;
    RefPtr<wmv::IWMClientConnections> connections;
    std::unique_ptr<LiveFeeder> feeder;
    std::uint32_t port = 0;
};

}  // namespace wmvtest
