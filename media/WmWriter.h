#pragma once
// The live writer of a broadcast: the runtime's writer in live mode with its
// network sink serving the stream on the ASF port to a limited number of
// viewers. The broadcast session writes samples straight through Writer().

#include <cstdint>
#include <string>

#include "media/WmProfile.h"
#include "platform/RefPtr.h"
#include "platform/hresult.h"
#include "wmvcore/wmvcore.h"

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
    // Serves the stream on asfPort to at most maxViewers viewers (0: on a port
    // the system picks). The port is remembered first, for the connection URL,
    // even if the sink fails, and replaced by the one opened once it is open.
    // With a gate, only the viewers it lets in are served (see
    // wmv::IWMViewerAccess); a runtime that cannot ask one fails.
    HRESULT OpenNetworkSink(std::uint32_t asfPort, std::uint32_t maxViewers,
                            wmv::IWMViewerAccess::Gate gate = {},
                            wmv::IWMViewerAccess::Still still = {},
                            wmv::IWMViewerAccess::TlsContext tls = {});
    // The access rule changed: viewers it no longer lets in are disconnected.
    void RecheckViewers();
    // The open sink's fragmented MP4 viewers take part in source, which
    // outlives the sink. E_FAIL without a sink; once only.
    HRESULT SetEncodedSource(codec::EncodedSource* source);
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
    // "http://[address]:port" with the machine's global IPv6 address; empty
    // when it has none.
    std::string Ipv6ConnectionUrl() const;

    static constexpr int kConnectionUrlSize = 29;

    // The runtime's writer, through which samples are written (null before
    // Create). Safe to use from the audio thread while the writer lives.
    wmv::IWMWriter* Writer() const { return writer_.Get(); }
    // The attached sink (null while none is attached) and the viewer count
    // it gave, which is kept until the next sink or the end of the writer.
    wmv::IWMWriterNetworkSink* NetworkSink() const { return networkSink_.Get(); }
    wmv::IWMClientConnections* ClientConnections() const { return clientConnections_.Get(); }
    bool IsWriting() const { return writing; }
    // The port the last OpenNetworkSink opened, or asked for if it failed.
    std::uint32_t AsfPort() const { return asfPort_; }
    // The profile object of the last successful SetProfile (not owned).
    WmProfile* AttachedProfile() const { return attachedProfile_; }

  private:
    // Declared in the reverse of the order they are released in.
    RefPtr<wmv::IWMWriter> writer_;
    RefPtr<wmv::IWMWriterAdvanced> advancedWriter_;
    RefPtr<wmv::IWMClientConnections> clientConnections_;
    RefPtr<wmv::IWMWriterNetworkSink> networkSink_;
    bool writing = false;
    std::uint32_t asfPort_ = 0;
    WmProfile* attachedProfile_ = nullptr;
};
