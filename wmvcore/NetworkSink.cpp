// The network sink: an HTTP server that serves the live ASF stream on every
// path but one. Plain HTTP clients get plain ASF (header, then data packets);
// clients that speak the Windows Media HTTP streaming protocol (NSPlayer user
// agent, xClientGUID / xPlayStrm pragmas) get it framed in $H, $D and $E
// chunks. Web browsers get the WebM rendition at /live.webm, and the shared
// encode's H.264 and AAC as fragmented MP4 at /live.mp4 and as low-latency
// HLS from /live.m3u8, all readable by pages of any origin. Every kind of
// viewer shares the maximum.

#include <atomic>
#include <new>
#include <string>

#include "wmvcore/AsfChannel.h"
#include "wmvcore/HlsChannel.h"
#include "wmvcore/Mp4Channel.h"
#include "wmvcore/StreamRequest.h"
#include "wmvcore/StreamServer.h"
#include "wmvcore/WebmChannel.h"
#include "wmvcore/wmvcore.h"

namespace wmv {

namespace {

constexpr const char* kRenditionPath = "/live.webm";
constexpr const char* kMp4Path = "/live.mp4";

}  // namespace

class NetworkSink final : public IWMWriterNetworkSink,
                          public IWMClientConnections,
                          public IWMBrowserRenditionSink,
                          public IWMViewerAccess,
                          public IWMFragmentedMp4Sink,
                          private StreamServer::Handler {
  public:
    ~NetworkSink() override { Close(); }

    HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) override {
        return protocol == WMT_PROTOCOL_HTTP ? S_OK : E_INVALIDARG;
    }

    HRESULT Open(std::uint32_t* port) override {
        if (!port) return E_POINTER;
        if (server_.IsOpen()) return NS_E_INVALID_REQUEST;
        return server_.Open(port, this);
    }

    HRESULT Close() override {
        server_.Close();
        served_ = 0;
        return S_OK;
    }

    HRESULT SetMaximumClients(std::uint32_t max) override {
        maxClients_ = max;
        return S_OK;
    }
    HRESULT GetMaximumClients(std::uint32_t* max) override {
        if (!max) return E_POINTER;
        *max = maxClients_;
        return S_OK;
    }
    HRESULT GetClientCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        *count = Viewers();
        return S_OK;
    }

    HRESULT OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                     std::uint16_t keyStream) override {
        HRESULT hr = asf_.OnHeader(header, size, packetSize, keyStream);
        if (SUCCEEDED(hr)) server_.Wake();
        return hr;
    }
    HRESULT OnDataUnit(const std::uint8_t* packet, std::size_t size) override {
        HRESULT hr = asf_.OnDataUnit(packet, size);
        if (SUCCEEDED(hr)) server_.WakeOnce();
        return hr;
    }
    HRESULT OnEndWriting() override {
        if (asf_.OnEndWriting() == S_OK) server_.Wake();
        return S_OK;
    }

    HRESULT SetViewerGate(Gate gate, Still still) override {
        if (server_.IsOpen()) return NS_E_INVALID_REQUEST;
        gate_ = std::move(gate);
        still_ = std::move(still);
        return S_OK;
    }
    HRESULT RecheckViewers() override {
        server_.RecheckViewers();
        return S_OK;
    }
    HRESULT SetTls(TlsContext context) override {
        if (server_.IsOpen()) return NS_E_INVALID_REQUEST;
        server_.SetTls(std::move(context));
        return S_OK;
    }

    // The browser rendition.
    bool RenditionWanted() override { return webm_.Viewers() > 0; }
    bool TakeKeyFrameRequest() override { return webm_.TakeKeyFrameRequest(); }
    HRESULT OnRenditionHeader(const std::uint8_t* header, std::size_t size) override {
        HRESULT hr = webm_.OnHeader(header, size);
        if (SUCCEEDED(hr)) server_.Wake();
        return hr;
    }
    HRESULT OnRenditionCluster(const std::uint8_t* cluster, std::size_t size, bool start) override {
        HRESULT hr = webm_.OnCluster(cluster, size, start);
        if (SUCCEEDED(hr)) server_.WakeOnce();
        return hr;
    }
    HRESULT OnRenditionEnd() override {
        if (webm_.OnEnd() == S_OK) server_.Wake();
        return S_OK;
    }

    HRESULT SetEncodedSource(codec::EncodedSource* source) override {
        if (!source) return E_POINTER;
        if (mp4_.HasSource()) return NS_E_INVALID_REQUEST;
        mp4_.SetSource(source);
        hls_.SetSource(source);
        return S_OK;
    }

  protected:
    void* Find(Iid iid) override {
        if (iid == Iid::IWMClientConnections) return static_cast<IWMClientConnections*>(this);
        if (iid == Iid::IWMBrowserRenditionSink) return static_cast<IWMBrowserRenditionSink*>(this);
        if (iid == Iid::IWMViewerAccess) return static_cast<IWMViewerAccess*>(this);
        if (iid == Iid::IWMFragmentedMp4Sink) return static_cast<IWMFragmentedMp4Sink*>(this);
        return nullptr;
    }

  private:
    void OnRequest(Connection& connection) override;
    bool StillWelcome(const Connection& connection) override {
        return !still_ || still_(ParseRequest(connection.admission).target, connection.admission);
    }
    void OnRound(Clock::time_point now) override { hls_.Tend(now); }
    // Every kind of viewer: connections and HLS sessions.
    std::uint32_t Viewers() const { return served_ + hls_.Sessions(); }
    // A browser's stream of the given type from viewer, counted in the
    // maximum (a HEAD only gets the answer's head).
    void StartBrowserStream(Connection& connection, const char* type,
                            std::unique_ptr<Viewer> viewer);

    // Set before the server opens, read on its thread only.
    Gate gate_;
    Still still_;
    std::atomic<std::uint32_t> maxClients_{5};
    std::atomic<std::uint32_t> served_{0};
    std::uint32_t nextClientId_ = 1;  // server thread only
    AsfChannel asf_;
    WebmChannel webm_;
    Mp4Channel mp4_{[this](bool once) { once ? server_.WakeOnce() : server_.Wake(); }};
    HlsChannel hls_{[this] { server_.Wake(); }};
    StreamServer server_;  // stops before the channels it serves go
};

void NetworkSink::OnRequest(Connection& connection) {
    const StreamRequest request = ParseRequest(connection.request);
    connection.state = Connection::State::Sending;
    connection.closeAfterOut = true;
    if (!request.valid) {
        connection.out = "HTTP/1.0 400 Bad Request\r\nConnection: close\r\n\r\n";
        return;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        connection.out = "HTTP/1.0 501 Not Implemented\r\nConnection: close\r\n\r\n";
        return;
    }
    if (gate_) {
        std::string refusal = gate_(connection.peer, request.target, connection.request);
        if (!refusal.empty()) {
            connection.out = std::move(refusal);
            return;
        }
        connection.admission = connection.request;
    }
    if (HlsChannel::Serves(request.path))
        return hls_.Answer(connection, request, Viewers() < maxClients_);
    const bool webm = request.path == kRenditionPath;
    const bool mp4 = request.path == kMp4Path;
    if (mp4 && !mp4_.HasSource()) {
        connection.out = "HTTP/1.0 404 Not Found\r\nConnection: close\r\n\r\n";
        return;
    }
    const bool viewer =
        request.method == "GET" && (webm || mp4 || request.kind != RequestKind::Describe);
    if (viewer && Viewers() >= maxClients_) {
        connection.out =
            "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\nConnection: "
            "close\r\n\r\n"
            "The maximum number of viewers is connected.\r\n";
        return;
    }
    if (webm)
        return StartBrowserStream(connection, "video/webm", viewer ? webm_.NewViewer() : nullptr);
    if (mp4)
        return StartBrowserStream(connection, "video/mp4", viewer ? mp4_.NewViewer() : nullptr);
    const bool framed = request.kind != RequestKind::Plain;
    std::string head =
        "HTTP/1.0 200 OK\r\nServer: Lumacast/1.0\r\nCache-Control: no-cache\r\nPragma: "
        "no-cache\r\n";
    if (framed) {
        head += request.kind == RequestKind::Describe
                    ? "Content-Type: application/vnd.ms.wms-hdr.asfv1\r\n"
                    : "Content-Type: application/x-mms-framed\r\n";
        head += "Pragma: client-id=" + std::to_string(nextClientId_++) +
                "\r\nPragma: features=\"broadcast\"\r\n";
    } else {
        head += "Content-Type: video/x-ms-asf\r\n";
    }
    head += "Connection: close\r\n\r\n";
    connection.out = std::move(head);
    if (request.method == "HEAD") return;
    if (viewer) {
        connection.countedIn = &served_;
        ++served_;
    }
    connection.closeAfterOut = false;
    connection.state = request.kind == RequestKind::Describe ? Connection::State::Sending
                                                             : Connection::State::Streaming;
    connection.since = Clock::now();
    connection.viewer = asf_.NewViewer(connection, framed, request.kind == RequestKind::Describe);
}

void NetworkSink::StartBrowserStream(Connection& connection, const char* type,
                                     std::unique_ptr<Viewer> viewer) {
    connection.out = std::string(
                         "HTTP/1.0 200 OK\r\nServer: Lumacast/1.0\r\nCache-Control: "
                         "no-cache\r\nPragma: no-cache\r\nContent-Type: ") +
                     type + "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";
    if (!viewer) return;
    connection.countedIn = &served_;
    ++served_;
    connection.closeAfterOut = false;
    connection.state = Connection::State::Streaming;
    connection.since = Clock::now();
    connection.viewer = std::move(viewer);
}

}  // namespace wmv

HRESULT WMCreateWriterNetworkSink(wmv::IWMWriterNetworkSink** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) wmv::NetworkSink();
    return *out ? S_OK : E_OUTOFMEMORY;
}
