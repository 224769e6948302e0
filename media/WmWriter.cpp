#include "media/WmWriter.h"

#include <utility>

#include "diag/ErrorTrail.h"
#include "diag/TrailLines.h"
#include "media/LocalAddress.h"

using namespace wmv;

WmWriter::~WmWriter() {
    // A writer deleted while it still writes is stopped first, so its sink
    // stops serving and the port is free again.
    if (writing) StopWriting();
    if (networkSink_) DetachNetworkSink();
}

HRESULT WmWriter::Create() {
    RefPtr<IWMWriter> created;
    HRESULT hr = WMCreateWriter(nullptr, created.Put());
    if (FAILED(hr)) return hr;
    RefPtr<IWMWriterAdvanced> advanced;
    hr = created->QueryInterface(advanced.Put());
    if (FAILED(hr)) return hr;
    writer_ = std::move(created);
    advancedWriter_ = std::move(advanced);
    return S_OK;
}

HRESULT WmWriter::OpenNetworkSink(std::uint32_t port, std::uint32_t maxViewers,
                                  wmv::IWMViewerAccess::Gate gate,
                                  wmv::IWMViewerAccess::Still still,
                                  wmv::IWMViewerAccess::TlsContext tls) {
    asfPort_ = port;
    if (!advancedWriter_ || networkSink_) return E_FAIL;
    RefPtr<IWMWriterNetworkSink> sink;
    bool opened = false, added = false;
    // A sink that fails half-way must not keep serving or hold the port.
    const auto fail = [&](HRESULT hr) {
        if (added) advancedWriter_->RemoveSink(sink.Get());
        if (opened) sink->Close();
        return hr;
    };

    HRESULT hr = WMCreateWriterNetworkSink(sink.Put());
    if (FAILED(hr)) return hr;
    hr = sink->SetNetworkProtocol(WMT_PROTOCOL_HTTP);
    if (FAILED(hr)) return hr;
    if (gate || tls) {
        RefPtr<wmv::IWMViewerAccess> access;
        hr = sink->QueryInterface(access.Put());
        if (FAILED(hr)) return hr;  // it would serve everyone, in the clear
        if (gate) hr = access->SetViewerGate(std::move(gate), std::move(still));
        if (SUCCEEDED(hr) && tls) hr = access->SetTls(std::move(tls));
        if (FAILED(hr)) return hr;
    }
    std::uint32_t portValue = port;
    hr = sink->Open(&portValue);
    if (FAILED(hr)) return hr;
    opened = true;
    // Port 0 lets the system pick one: the connection URL needs that one.
    asfPort_ = portValue;
    hr = sink->SetMaximumClients(maxViewers);
    if (FAILED(hr)) return fail(hr);
    hr = advancedWriter_->SetLiveSource(1);
    if (FAILED(hr)) return fail(hr);
    hr = advancedWriter_->SetSyncTolerance(100);
    if (FAILED(hr)) return fail(hr);
    hr = advancedWriter_->AddSink(sink.Get());
    if (FAILED(hr)) return fail(hr);
    added = true;
    hr = sink->QueryInterface(clientConnections_.Put());
    if (CheckResult(hr, kTrailClientConnections)) return fail(hr);
    networkSink_ = std::move(sink);
    return S_OK;
}

HRESULT WmWriter::SetEncodedSource(codec::EncodedSource* source) {
    if (!networkSink_) return E_FAIL;
    RefPtr<wmv::IWMFragmentedMp4Sink> mp4;
    const HRESULT hr = networkSink_->QueryInterface(mp4.Put());
    if (FAILED(hr)) return hr;
    return mp4->SetEncodedSource(source);
}

HRESULT WmWriter::SetProfile(WmProfile* wmProfile) {
    if (!writer_ || !wmProfile || !wmProfile->Profile()) return E_FAIL;
    const HRESULT hr = writer_->SetProfile(wmProfile->Profile());
    if (FAILED(hr)) return hr;
    attachedProfile_ = wmProfile;
    return hr;
}

HRESULT WmWriter::BeginWriting() {
    if (!writer_ || writing) return E_FAIL;
    const HRESULT hr = writer_->BeginWriting();
    if (FAILED(hr)) return hr;
    writing = true;
    return hr;
}

HRESULT WmWriter::StopWriting() {
    if (!writer_ || !writing) return E_FAIL;
    // Writing ends even when the flush fails; the first failure is the result.
    HRESULT hr = writer_->Flush();
    const HRESULT ended = writer_->EndWriting();
    if (SUCCEEDED(hr)) hr = ended;
    writing = false;
    if (networkSink_) return DetachNetworkSink();
    return hr;
}

HRESULT WmWriter::DetachNetworkSink() {
    if (!advancedWriter_ || !networkSink_ || writing) return E_FAIL;
    // The sink is closed and let go even when the writer would not remove it.
    const RefPtr<IWMWriterNetworkSink> sink = std::move(networkSink_);
    HRESULT hr = advancedWriter_->RemoveSink(sink.Get());
    const HRESULT closed = sink->Close();
    if (SUCCEEDED(hr)) hr = closed;
    return hr;
}

HRESULT WmWriter::AllocateSample(std::uint32_t size, INSSBuffer** sample) {
    if (!writer_) return E_FAIL;
    return writer_->AllocateSample(size, sample);
}

int WmWriter::GetClientCount() {
    if (!clientConnections_) return 0;
    std::uint32_t count = 0;
    if (FAILED(clientConnections_->GetClientCount(&count))) return 0;
    return static_cast<int>(count);
}

void WmWriter::RecheckViewers() {
    if (!networkSink_) return;
    RefPtr<wmv::IWMViewerAccess> access;
    if (SUCCEEDED(networkSink_->QueryInterface(access.Put()))) access->RecheckViewers();
}

void WmWriter::GetConnectionUrl(char* url) {
    if (!url) return;
    FormatConnectionUrl(LocalIpv4Addresses(), asfPort_, url, kConnectionUrlSize);
}

std::string WmWriter::Ipv6ConnectionUrl() const {
    return ::Ipv6ConnectionUrl(GlobalIpv6Addresses(), asfPort_);
}
