#include "media/WmWriter.h"

#include "diag/ErrorTrail.h"
#include "media/LocalAddress.h"
#include "media/ReleaseField.h"

using namespace wmv;

WmWriter::~WmWriter() {
    // A writer deleted while it still writes is stopped first, so its sink
    // stops serving and the port is free again.
    if (writing) StopWriting();
    if (networkSink) DetachNetworkSink();
    ReleaseField(networkSink);
    ReleaseField(clientConnections);
    ReleaseField(advancedWriter);
    ReleaseField(writer);
}

HRESULT WmWriter::Create() {
    HRESULT hr = WMCreateWriter(nullptr, &writer);
    if (SUCCEEDED(hr)) hr = writer->QueryInterface(&advancedWriter);
    if (FAILED(hr)) {
        ReleaseField(advancedWriter);
        ReleaseField(writer);
    }
    return hr;
}

HRESULT WmWriter::OpenNetworkSink(std::uint32_t port, std::uint32_t maxViewers) {
    asfPort = port;
    if (!advancedWriter || networkSink) return E_FAIL;
    bool opened = false, added = false;
    HRESULT hr = WMCreateWriterNetworkSink(&networkSink);
    if (SUCCEEDED(hr)) hr = networkSink->SetNetworkProtocol(WMT_PROTOCOL_HTTP);
    std::uint32_t portValue = port;
    if (SUCCEEDED(hr)) hr = networkSink->Open(&portValue);
    opened = SUCCEEDED(hr);
    if (SUCCEEDED(hr)) hr = networkSink->SetMaximumClients(maxViewers);
    if (SUCCEEDED(hr)) hr = advancedWriter->SetLiveSource(1);
    if (SUCCEEDED(hr)) hr = advancedWriter->SetSyncTolerance(100);
    if (SUCCEEDED(hr)) hr = advancedWriter->AddSink(networkSink);
    added = SUCCEEDED(hr);
    if (SUCCEEDED(hr)) {
        ReleaseField(clientConnections);
        hr = networkSink->QueryInterface(&clientConnections);
        CheckResult(hr, 116);
    }
    if (FAILED(hr) && networkSink) {
        // A sink that failed half-way must not keep serving or hold the port.
        if (added) advancedWriter->RemoveSink(networkSink);
        if (opened) networkSink->Close();
        ReleaseField(networkSink);
    }
    return hr;
}

HRESULT WmWriter::SetProfile(WmProfile* wmProfile) {
    if (!writer || !wmProfile || !wmProfile->profile) return E_FAIL;
    HRESULT hr = writer->SetProfile(wmProfile->profile);
    if (SUCCEEDED(hr)) attachedProfile = wmProfile;
    return hr;
}

HRESULT WmWriter::BeginWriting() {
    if (!writer || writing) return E_FAIL;
    HRESULT hr = writer->BeginWriting();
    if (SUCCEEDED(hr)) writing = true;
    return hr;
}

HRESULT WmWriter::StopWriting() {
    if (!writer || !writing) return E_FAIL;
    HRESULT hr = writer->Flush();
    const HRESULT ended = writer->EndWriting();
    if (SUCCEEDED(hr)) hr = ended;
    writing = false;
    if (networkSink) return DetachNetworkSink();
    return hr;
}

HRESULT WmWriter::DetachNetworkSink() {
    if (!advancedWriter || !networkSink || writing) return E_FAIL;
    HRESULT hr = advancedWriter->RemoveSink(networkSink);
    const HRESULT closed = networkSink->Close();
    if (SUCCEEDED(hr)) hr = closed;
    ReleaseField(networkSink);
    return hr;
}

HRESULT WmWriter::AllocateSample(std::uint32_t size, INSSBuffer** sample) {
    if (!writer) return E_FAIL;
    return writer->AllocateSample(size, sample);
}

int WmWriter::GetClientCount() {
    if (!clientConnections) return 0;
    std::uint32_t count = 0;
    if (FAILED(clientConnections->GetClientCount(&count))) return 0;
    return static_cast<int>(count);
}

void WmWriter::GetConnectionUrl(char* url) {
    if (!url) return;
    FormatConnectionUrl(LocalIpv4Addresses(), asfPort, url, kConnectionUrlSize);
}
