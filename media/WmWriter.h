#pragma once
// The live writer of a broadcast: the runtime's writer in live mode with its
// network sink serving the stream on the ASF port to a limited number of
// viewers. The main window writes samples straight through `writer`.

#include <cstdint>

#include "media/WmProfile.h"
#include "platform/hresult.h"
#include "platform/wmvcore/wmvcore.h"

class WmWriter {
  public:
    WmWriter() = default;
    // Stops writing and detaches the sink if that has not happened, then
    // releases the client connections, the advanced writer and the writer.
    virtual ~WmWriter();
    WmWriter(const WmWriter&) = delete;
    WmWriter& operator=(const WmWriter&) = delete;

    // Creates the writer and its advanced interface; on failure neither is kept.
    HRESULT Create();
    // Serves the stream on asfPort to at most maxViewers viewers. The port is
    // remembered first, for the connection URL, even if the sink fails.
    HRESULT OpenNetworkSink(std::uint32_t asfPort, std::uint32_t maxViewers);
    // E_FAIL without writer, profile object or profile.
    HRESULT SetProfile(WmProfile* wmProfile);
    // E_FAIL without writer or while writing.
    HRESULT BeginWriting();
    // Flush and end writing, then detach the sink. E_FAIL when not writing.
    HRESULT StopWriting();
    // Removes and closes the sink (every viewer is disconnected). E_FAIL
    // without advanced writer or sink, or while writing.
    HRESULT DetachNetworkSink();
    HRESULT AllocateSample(std::uint32_t size, wmv::INSSBuffer** sample);
    // Viewers being served now; 0 when there is no sink.
    int GetClientCount();
    // "http://address:port" for viewers, or "Cannot detect IP address";
    // url must hold kConnectionUrlSize bytes.
    void GetConnectionUrl(char* url);

    static constexpr int kConnectionUrlSize = 29;

    wmv::IWMWriterAdvanced* advancedWriter = nullptr;
    wmv::IWMWriterNetworkSink* networkSink = nullptr;
    wmv::IWMClientConnections* clientConnections = nullptr;
    bool writing = false;
    std::uint32_t asfPort = 0;
    WmProfile* attachedProfile = nullptr;  // not owned
    wmv::IWMWriter* writer = nullptr;
};
