#pragma once
// libwmvcore: the media runtime of Lumacast. It builds encoding profiles from
// the codecs it offers, encodes raw frames and PCM chunks into one live ASF
// stream (FFmpeg underneath) and serves that stream to viewers over HTTP.
//
// The interfaces are plain C++ classes with intrusive reference counts: every
// object handed out through an out pointer carries one reference that the
// caller gives back with Release(). Results are HRESULT values.
//
// Everything lives in namespace wmv so that the Windows-layout records below
// (RECT, WAVEFORMATEX, ...) never clash with those of other platform layers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/MediaFormats.h"

typedef struct ssl_ctx_st SSL_CTX;  // OpenSSL's
#include "platform/RefPtr.h"
#include "platform/hresult.h"

namespace codec {
class EncodedSource;
}

namespace wmv {

// The runtime's own failures.
constexpr HRESULT NS_E_INVALID_REQUEST = static_cast<HRESULT>(0xC00D002Bu);
constexpr HRESULT NS_E_INVALID_INPUT_FORMAT = static_cast<HRESULT>(0xC00D0BB8u);
constexpr HRESULT NS_E_INVALID_STREAM = static_cast<HRESULT>(0xC00D0065u);
constexpr HRESULT NS_E_NO_MORE_SAMPLES = static_cast<HRESULT>(0xC00D0BCFu);
constexpr HRESULT NS_E_INVALID_OUTPUT_FORMAT = static_cast<HRESULT>(0xC00D0BB9u);
constexpr HRESULT ASF_E_BUFFERTOOSMALL = static_cast<HRESULT>(0xC00D07F0u);
constexpr HRESULT NS_E_SERVER_NOT_FOUND = static_cast<HRESULT>(0xC00D0035u);

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
bool operator==(const GUID& a, const GUID& b);
inline bool operator!=(const GUID& a, const GUID& b) {
    return !(a == b);
}

// Media and format types the callers check.
extern const GUID WMMEDIATYPE_Video;
extern const GUID WMMEDIATYPE_Audio;
extern const GUID FORMAT_VideoInfo;
extern const GUID FORMAT_WaveFormatEx;
// Subtypes in the FOURCC / format-tag family: {tag-0000-0010-8000-00AA00389B71}.
GUID SubtypeFromTag(std::uint32_t tag);

// The format blocks are the platform's own.
using ::BITMAPINFOHEADER;
using ::RECT;
using ::VIDEOINFOHEADER;
using ::WAVEFORMATEX;

constexpr std::uint16_t WAVE_FORMAT_WMAUDIO1 = 0x0160;
constexpr std::uint16_t WAVE_FORMAT_WMAUDIO2 = 0x0161;

// A media type. GetMediaType writes the record followed by its format block
// into one caller buffer; pbFormat then points into that buffer.
struct WM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    std::int32_t bFixedSizeSamples;
    std::int32_t bTemporalCompression;
    std::uint32_t lSampleSize;
    GUID formattype;
    void* pUnk;
    std::uint32_t cbFormat;
    std::uint8_t* pbFormat;
};

enum WMT_VERSION : std::uint32_t {
    WMT_VER_4_0 = 0x00040000,
    WMT_VER_7_0 = 0x00070000,
    WMT_VER_8_0 = 0x00080000,
    WMT_VER_9_0 = 0x00090000,
};

enum WMT_NET_PROTOCOL : std::uint32_t { WMT_PROTOCOL_HTTP = 0 };

// Interfaces an object can be asked for with QueryInterface.
enum class Iid {
    IWMMediaProps,
    IWMVideoMediaProps,
    IWMStreamConfig,
    IWMCodecInfo,
    IWMCodecInfo2,
    IWMWriterAdvanced,
    IWMClientConnections,
    IWMBrowserRenditionSink,
    IWMWriterRenditionInfo,
    IWMViewerAccess,
    IWMFragmentedMp4Sink,
};

// The common root: reference count plus QueryInterface. An object that does
// not offer the interface answers E_NOINTERFACE and leaves *out null.
class IUnknownLike : public virtual RefCounted {
  public:
    HRESULT QueryInterface(Iid iid, void** out);
    template <typename T>
    HRESULT QueryInterface(T** out) {
        return QueryInterface(T::kIid, reinterpret_cast<void**>(out));
    }

  protected:
    // Returns the object as the asked-for interface, or null.
    virtual void* Find(Iid iid) = 0;
};

// A sample buffer of the writer (AllocateSample).
class INSSBuffer : public virtual RefCounted {
  public:
    virtual HRESULT GetLength(std::uint32_t* length) = 0;
    virtual HRESULT SetLength(std::uint32_t length) = 0;  // E_INVALIDARG beyond the maximum
    virtual HRESULT GetMaxLength(std::uint32_t* length) = 0;
    virtual HRESULT GetBuffer(std::uint8_t** buffer) = 0;
    virtual HRESULT GetBufferAndLength(std::uint8_t** buffer, std::uint32_t* length) = 0;
};

class IWMMediaProps : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMMediaProps;
    virtual HRESULT GetType(GUID* type) = 0;
    // With type null, *size receives the bytes needed (the record and its
    // format block). A buffer too small gives ASF_E_BUFFERTOOSMALL and the
    // needed size.
    virtual HRESULT GetMediaType(WM_MEDIA_TYPE* type, std::uint32_t* size) = 0;
    virtual HRESULT SetMediaType(const WM_MEDIA_TYPE* type) = 0;
};

class IWMVideoMediaProps : public IWMMediaProps {
  public:
    static constexpr Iid kIid = Iid::IWMVideoMediaProps;
    virtual HRESULT GetMaxKeyFrameSpacing(std::int64_t* spacing) = 0;
    virtual HRESULT SetMaxKeyFrameSpacing(std::int64_t spacing) = 0;  // 100-ns units
    virtual HRESULT GetQuality(std::uint32_t* quality) = 0;
    virtual HRESULT SetQuality(std::uint32_t quality) = 0;  // 0..100
};

class IWMStreamConfig : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMStreamConfig;
    virtual HRESULT GetStreamType(GUID* type) = 0;
    virtual HRESULT GetStreamNumber(std::uint16_t* number) = 0;
    virtual HRESULT SetStreamNumber(std::uint16_t number) = 0;  // 1..63
    virtual HRESULT GetStreamName(wchar_t* name, std::uint16_t* length) = 0;
    virtual HRESULT SetStreamName(const wchar_t* name) = 0;
    virtual HRESULT GetConnectionName(wchar_t* name, std::uint16_t* length) = 0;
    virtual HRESULT SetConnectionName(const wchar_t* name) = 0;
    virtual HRESULT GetBitrate(std::uint32_t* bitrate) = 0;
    virtual HRESULT SetBitrate(std::uint32_t bitrate) = 0;
    virtual HRESULT GetBufferWindow(std::uint32_t* ms) = 0;
    virtual HRESULT SetBufferWindow(std::uint32_t ms) = 0;
};

class IWMProfile : public IUnknownLike {
  public:
    virtual HRESULT GetVersion(WMT_VERSION* version) = 0;
    virtual HRESULT GetStreamCount(std::uint32_t* count) = 0;
    virtual HRESULT GetStream(std::uint32_t index, IWMStreamConfig** config) = 0;
    // A new configuration of that major type with the next free stream number.
    virtual HRESULT CreateNewStream(const GUID& type, IWMStreamConfig** config) = 0;
    // Adds a copy of the configuration; its stream number must be set and free.
    virtual HRESULT AddStream(IWMStreamConfig* config) = 0;
};

// Codecs the runtime offers, best first, with their formats as stream
// configurations.
class IWMCodecInfo : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMCodecInfo;
    virtual HRESULT GetCodecInfoCount(const GUID& type, std::uint32_t* count) = 0;
    virtual HRESULT GetCodecFormatCount(const GUID& type, std::uint32_t codec,
                                        std::uint32_t* count) = 0;
    virtual HRESULT GetCodecFormat(const GUID& type, std::uint32_t codec, std::uint32_t format,
                                   IWMStreamConfig** config) = 0;
};

class IWMCodecInfo2 : public IWMCodecInfo {
  public:
    static constexpr Iid kIid = Iid::IWMCodecInfo2;
    // With name null, *length receives the characters needed (terminator
    // included); a smaller buffer gives ASF_E_BUFFERTOOSMALL and that length.
    virtual HRESULT GetCodecName(const GUID& type, std::uint32_t codec, wchar_t* name,
                                 std::uint32_t* length) = 0;
    virtual HRESULT GetCodecFormatDesc(const GUID& type, std::uint32_t codec, std::uint32_t format,
                                       IWMStreamConfig** config, wchar_t* desc,
                                       std::uint32_t* length) = 0;
};

class IWMProfileManager : public IUnknownLike {
  public:
    virtual HRESULT CreateEmptyProfile(WMT_VERSION version, IWMProfile** profile) = 0;
};

// Receives the stream from the writer: first the ASF header (with the data
// object header), then data packets (one or more whole packets per call, a
// burst that belongs together), then the end. OnHeader comes from the thread
// that begins writing, or from the one that adds the sink to a running
// stream; OnDataUnit and OnEndWriting from the writer's own thread, or
// OnEndWriting from the one that removes the sink. The calls to one sink
// never overlap and come in that order; no writer lock that adding or
// removing sinks needs is held, so a sink may add or remove sinks from
// inside them. It must not set the profile, count the inputs or begin or end
// writing there: beginning and ending hold the lock those take while they
// wait for the sinks' calls. A call must not wait for another thread that is
// calling into the writer.
class IWMWriterSink : public IUnknownLike {
  public:
    // keyStream: the stream number whose key frames a new viewer must start
    // at, or 0 when any packet will do (no video).
    virtual HRESULT OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                             std::uint16_t keyStream) = 0;
    virtual HRESULT OnDataUnit(const std::uint8_t* packet, std::size_t size) = 0;
    virtual HRESULT OnEndWriting() = 0;
};

// A sink that also serves web browsers. Besides the ASF stream the writer
// then encodes the same samples as a WebM rendition (VP8 pictures, Opus
// sound at 48 kHz), but only while some such sink wants it. The calls come
// from the writer's threads (RenditionWanted from the one that takes the
// samples, the others from the rendition's own; the header of a running
// rendition and its end also from the thread that adds or removes the sink),
// under the same rules as the sink's own calls.
class IWMBrowserRenditionSink : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMBrowserRenditionSink;
    // Whether anyone watches the rendition now; asked for every sample.
    virtual bool RenditionWanted() = 0;
    // True once after a viewer has joined: the next picture should be a key
    // frame, so that the viewer need not wait for the next scheduled one.
    virtual bool TakeKeyFrameRequest() = 0;
    // A rendition starts with this header (EBML, segment, tracks).
    virtual HRESULT OnRenditionHeader(const std::uint8_t* header, std::size_t size) = 0;
    // One whole cluster; start: it begins with a key frame, so a viewer may
    // begin with it.
    virtual HRESULT OnRenditionCluster(const std::uint8_t* cluster, std::size_t size,
                                       bool start) = 0;
    // The rendition stopped: nobody wanted it any more, or writing ended.
    virtual HRESULT OnRenditionEnd() = 0;
};

// What the writer has done for browsers (asked by tests and benchmarks).
class IWMWriterRenditionInfo : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMWriterRenditionInfo;
    // Pictures and sound frames encoded for the rendition since writing
    // began, and whether its encoders are open right now.
    virtual HRESULT GetRenditionStatistics(std::uint64_t* pictures, std::uint64_t* sounds,
                                           std::int32_t* running) = 0;
};

class IWMClientConnections : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMClientConnections;
    // Viewers being served right now.
    virtual HRESULT GetClientCount(std::uint32_t* count) = 0;
};

// Who may watch the network sink's stream and rendition. The gate is asked on
// the server thread about every request that would be served either, with
// the client's address, the request's target (its
// path with the query) and its whole head: an empty answer lets it in,
// anything else is the whole response that refuses it (counted nowhere).
// After RecheckViewers, each viewer's request is put to still, and a viewer
// whose request it no longer lets in is disconnected.
class IWMViewerAccess : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMViewerAccess;
    // peer: the client's address as text ("192.0.2.7", "2001:db8::5").
    using Gate = std::function<std::string(const std::string& peer, const std::string& target,
                                           const std::string& head)>;
    using Still = std::function<bool(const std::string& target, const std::string& head)>;
    // Before Open.
    virtual HRESULT SetViewerGate(Gate gate, Still still) = 0;
    // Any thread: the rule changed.
    virtual HRESULT RecheckViewers() = 0;
    // TLS on the port (before Open): context gives a new reference to the
    // context for a connection starting now; a client that speaks plain
    // HTTP there is sent to the https:// address.
    using TlsContext = std::function<SSL_CTX*()>;
    virtual HRESULT SetTls(TlsContext context) = 0;
};

// The stream server's fragmented MP4 and low-latency HLS (Lumacast's own):
// their viewers take part in the broadcast's shared H.264 and AAC encode
// while any is there.
class IWMFragmentedMp4Sink : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMFragmentedMp4Sink;
    // Once, from any thread; the source outlives the sink's Close. Until
    // then the MP4 and HLS addresses are not found.
    virtual HRESULT SetEncodedSource(codec::EncodedSource* source) = 0;
};

// The HTTP stream server.
class IWMWriterNetworkSink : public IWMWriterSink {
  public:
    virtual HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) = 0;
    // Starts serving on the port (0: one the system picks); the port in use is
    // written back. A port in use fails with an errno HRESULT.
    virtual HRESULT Open(std::uint32_t* port) = 0;
    virtual HRESULT SetMaximumClients(std::uint32_t max) = 0;
    virtual HRESULT GetMaximumClients(std::uint32_t* max) = 0;
    // Stops serving and disconnects every viewer.
    virtual HRESULT Close() = 0;
};

class IWMWriter : public IUnknownLike {
  public:
    virtual HRESULT SetProfile(IWMProfile* profile) = 0;
    virtual HRESULT GetInputCount(std::uint32_t* count) = 0;
    virtual HRESULT BeginWriting() = 0;
    virtual HRESULT AllocateSample(std::uint32_t size, INSSBuffer** sample) = 0;
    // Copies the sample and returns; safe from several threads at once.
    // time is in 100-ns units.
    virtual HRESULT WriteSample(std::uint32_t input, std::uint64_t time, std::uint32_t flags,
                                INSSBuffer* sample) = 0;
    // Waits until every sample written so far is encoded and muxed.
    virtual HRESULT Flush() = 0;
    virtual HRESULT EndWriting() = 0;
};

class IWMWriterAdvanced : public IUnknownLike {
  public:
    static constexpr Iid kIid = Iid::IWMWriterAdvanced;
    virtual HRESULT GetSinkCount(std::uint32_t* count) = 0;
    virtual HRESULT AddSink(IWMWriterSink* sink) = 0;
    virtual HRESULT RemoveSink(IWMWriterSink* sink) = 0;
    virtual HRESULT SetLiveSource(std::int32_t isLive) = 0;
    virtual HRESULT IsRealTime(std::int32_t* realTime) = 0;
    virtual HRESULT SetSyncTolerance(std::uint32_t ms) = 0;
    virtual HRESULT GetSyncTolerance(std::uint32_t* ms) = 0;
};

}  // namespace wmv

// Factories. Each returns one reference in *out.
HRESULT WMCreateProfileManager(wmv::IWMProfileManager** out);
HRESULT WMCreateWriter(void* certificate, wmv::IWMWriter** out);
HRESULT WMCreateWriterNetworkSink(wmv::IWMWriterNetworkSink** out);

// The runtime's version as a version resource carries it: product and file
// version, each as a most and a least significant 32-bit half (major << 16 |
// minor, build << 16 | revision). Looked up by name with dlsym.
struct WmvcoreVersion {
    std::uint32_t dwProductVersionMS;
    std::uint32_t dwProductVersionLS;
    std::uint32_t dwFileVersionMS;
    std::uint32_t dwFileVersionLS;
};
extern "C" int WmvcoreGetVersion(WmvcoreVersion* version);
