#include "capture/Devices.h"

#include <gst/audio/audio.h>
#include <gst/video/colorbalance.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "capture/DeviceDescription.h"

namespace capture {

namespace {

constexpr int kStandardRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};

std::mutex g_testMutex;
std::optional<std::vector<TestDevice>> g_testDevices;

bool FakeDevicesEnabled() {
    const char* value = std::getenv("LUMACAST_FAKE_DEVICES");
    return value && (std::strcmp(value, "1") == 0 || std::strcmp(value, "only") == 0);
}

bool OnlyFakeDevices() {
    const char* value = std::getenv("LUMACAST_FAKE_DEVICES");
    return value && std::strcmp(value, "only") == 0;
}

// The test camera's formats. LUMACAST_TEST_CAMERA_SIZE ("WIDTHxHEIGHT")
// names the one listed first, which a program started on the camera captures;
// 320x240 otherwise.
std::string TestCameraFormats() {
    std::vector<std::pair<int, int>> sizes = {{320, 240}, {640, 480}, {1280, 720}};
    const char* value = std::getenv("LUMACAST_TEST_CAMERA_SIZE");
    int width = 0, height = 0;
    char rest = 0;
    if (value && std::sscanf(value, "%dx%d%c", &width, &height, &rest) == 2 && width >= 16 &&
        height >= 16 && width <= 4096 && height <= 4096) {
        std::erase(sizes, std::pair{width, height});
        sizes.insert(sizes.begin(), {width, height});
    }
    std::string formats;
    for (const auto& [w, h] : sizes) {
        formats += "video/x-raw,format=YUY2,width=" + std::to_string(w) +
                   ",height=" + std::to_string(h) + ",framerate=30/1;";
    }
    return formats;
}

bool TestCameraStampsClock() {
    const char* value = std::getenv("LUMACAST_TEST_CAMERA_CLOCK");
    return value && std::strcmp(value, "1") == 0;
}

// Stamps each buffer leaving the test pattern with the time it was made.
GstPadProbeReturn StampClockProbe(GstPad* pad, GstPadProbeInfo* info, gpointer) {
    GstBuffer* buffer = gst_pad_probe_info_get_buffer(info);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    GstVideoInfo video;
    const bool known = caps && gst_video_info_from_caps(&video, caps) &&
                       GST_VIDEO_INFO_FORMAT(&video) == GST_VIDEO_FORMAT_YUY2;
    if (caps) gst_caps_unref(caps);
    if (!buffer || !known) return GST_PAD_PROBE_OK;
    buffer = gst_buffer_make_writable(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                        static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
        StampCaptureClock(map.data, GST_VIDEO_INFO_WIDTH(&video), GST_VIDEO_INFO_HEIGHT(&video),
                          GST_VIDEO_INFO_PLANE_STRIDE(&video, 0), ms);
        gst_buffer_unmap(buffer, &map);
    }
    return GST_PAD_PROBE_OK;
}

}  // namespace

std::vector<TestDevice> DefaultTestDevices() {
    TestDevice camera;
    camera.category = DeviceCategory::VideoInput;
    camera.name = "Lumacast Test Camera";
    camera.stampsClock = TestCameraStampsClock();
    TestDevice microphone;
    microphone.category = DeviceCategory::AudioInput;
    microphone.name = "Lumacast Test Microphone";
    return {camera, microphone};
}

void StampCaptureClock(std::uint8_t* yuy2, int width, int height, int stride,
                       std::uint64_t milliseconds) {
    const int blockWidth = (width / kClockStampBits) & ~1;
    if (blockWidth < 2 || height < kClockStampRows) return;
    for (int row = height - kClockStampRows; row < height; ++row) {
        std::uint8_t* line =
            yuy2 + static_cast<std::size_t>(row) * static_cast<std::size_t>(stride);
        for (int bit = 0; bit < kClockStampBits; ++bit) {
            const bool one = (milliseconds >> (kClockStampBits - 1 - bit)) & 1u;
            const std::uint8_t luma = one ? 235 : 16;
            // YUY2: Y0 U Y1 V for every two pixels; the stamp is grey.
            for (int x = bit * blockWidth; x < (bit + 1) * blockWidth; x += 2) {
                std::uint8_t* pair = line + x * 2;
                pair[0] = luma;
                pair[1] = 128;
                pair[2] = luma;
                pair[3] = 128;
            }
        }
    }
}

void SetTestDevices(std::vector<TestDevice> devices) {
    {
        std::lock_guard lock(g_testMutex);
        g_testDevices = std::move(devices);
    }
    NoteTestDevicesChanged();
}

void ResetTestDevices() {
    {
        std::lock_guard lock(g_testMutex);
        g_testDevices.reset();
    }
    NoteTestDevicesChanged();
}

bool SystemDevicesListed() {
    return !OnlyFakeDevices();
}

namespace {

std::shared_ptr<DeviceDescription> DescribeTestDevice(const TestDevice& test) {
    auto d = std::make_shared<DeviceDescription>();
    d->category = test.category;
    d->name = test.name;
    d->hasName = test.hasName;
    d->key = "test:" + test.name;
    d->live = test.live;
    d->hasStreamConfig = test.hasStreamConfig;
    d->canBind = test.canBind;
    d->compressed = test.compressed;
    d->stampsClock = test.stampsClock;
    d->eightBitOnly = test.eightBitOnly;
    d->busy = test.busy;
    if (test.category == DeviceCategory::VideoInput && test.compressed) {
        d->listCaps.reset(
            gst_caps_from_string("image/jpeg,width=320,height=240,framerate=30/1;"
                                 "image/jpeg,width=640,height=480,framerate=30/1;"
                                 "image/jpeg,width=1280,height=720,framerate=30/1"));
        d->acceptCaps.reset(gst_caps_from_string(
            "image/jpeg,width=[16,4096],height=[16,4096],framerate=[1/1,120/1]"));
    } else if (test.category == DeviceCategory::VideoInput) {
        d->listCaps.reset(gst_caps_from_string(TestCameraFormats().c_str()));
        // The pattern generator can make any size; the list above is what a
        // settings page offers.
        d->acceptCaps.reset(gst_caps_from_string(
            "video/x-raw,format=YUY2,width=[16,4096],height=[16,4096],framerate=[1/1,120/1]"));
    } else {
        d->listCaps.reset(gst_caps_from_string(
            test.eightBitOnly
                ? "audio/x-raw,format=U8,layout=interleaved,rate=[8000,48000],channels=[1,2]"
                : "audio/x-raw,format={U8,S16LE},layout=interleaved,rate=[8000,48000],"
                  "channels=[1,2]"));
        d->acceptCaps.reset(gst_caps_copy(d->listCaps.get()));
    }
    return d;
}

// The test devices listed now.
std::vector<TestDevice> CurrentTestDevices() {
    std::lock_guard lock(g_testMutex);
    if (g_testDevices) return *g_testDevices;
    return FakeDevicesEnabled() ? DefaultTestDevices() : std::vector<TestDevice>{};
}

}  // namespace

HRESULT CreateClassEnumerator(DeviceCategory category, std::vector<RefPtr<Moniker>>* monikers) {
    if (!monikers) return E_POINTER;
    monikers->clear();
    if (!EnsureGstreamer()) return E_FAIL;
    if (SystemDevicesListed()) {
        RefreshSystemDevices();
        for (auto& d : LatestSystemDevices(category))
            monikers->push_back(RefPtr<Moniker>::Adopt(new Moniker(d)));
    }
    for (const auto& t : CurrentTestDevices())
        if (t.category == category)
            monikers->push_back(RefPtr<Moniker>::Adopt(new Moniker(DescribeTestDevice(t))));
    return monikers->empty() ? S_FALSE : S_OK;
}

RefPtr<Moniker> FindDevice(DeviceCategory category, const std::string& key) {
    if (!EnsureGstreamer()) return nullptr;
    if (SystemDevicesListed()) {
        for (auto& d : LatestSystemDevices(category))
            if (d->key == key) return RefPtr<Moniker>::Adopt(new Moniker(d));
    }
    for (const auto& t : CurrentTestDevices())
        if (t.category == category && "test:" + t.name == key)
            return RefPtr<Moniker>::Adopt(new Moniker(DescribeTestDevice(t)));
    return nullptr;
}

// ---- Moniker --------------------------------------------------------------

Moniker::Moniker(std::shared_ptr<const DeviceDescription> device) : device_(std::move(device)) {}

DeviceCategory Moniker::Category() const {
    return device_->category;
}

HRESULT Moniker::ReadFriendlyName(std::string* name) const {
    if (!name) return E_POINTER;
    if (!device_->hasName) return E_FAIL;
    *name = device_->name;
    return S_OK;
}

const std::string& Moniker::Key() const {
    return device_->key;
}

bool Moniker::SameInstance(const Moniker& other) const {
    return device_->key == other.device_->key && device_->instance == other.device_->instance;
}

void Moniker::InheritSettings(const Moniker& from) const {
    if (from.device_ == device_) return;
    std::optional<MediaType> format;
    std::vector<std::pair<std::string, int>> controls;
    {
        std::lock_guard lock(from.device_->settingsMutex);
        format = from.device_->chosenFormat;
        controls = from.device_->chosenControls;
    }
    std::lock_guard lock(device_->settingsMutex);
    device_->chosenFormat = std::move(format);
    device_->chosenControls = std::move(controls);
}

HRESULT Moniker::BindToObject(RefPtr<CaptureFilter>* filter) const {
    if (!filter) return E_POINTER;
    *filter = nullptr;
    if (!device_->canBind) return E_FAIL;
    auto made = RefPtr<CaptureFilter>::Adopt(new CaptureFilter(device_));
    if (!made->Build()) return E_FAIL;
    *filter = made;
    return S_OK;
}

// ---- formats --------------------------------------------------------------

namespace {

// The sample sizes that audio caps name at a rate and channel count: 8 and
// 16 bits where a structure names them; a structure that names no sample
// format takes any, which counts as 16 bits.
void NamedSampleSizes(const GstCaps* device, int rate, int channels, bool* eight, bool* sixteen) {
    *eight = *sixteen = false;
    if (gst_caps_is_any(device)) {
        *sixteen = true;
        return;
    }
    CapsPtr where(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate, "channels",
                                      G_TYPE_INT, channels, nullptr));
    CapsPtr u8(gst_caps_from_string("audio/x-raw,format=U8"));
    CapsPtr s16(gst_caps_from_string("audio/x-raw,format={S16LE,S16BE}"));
    for (guint i = 0; i < gst_caps_get_size(device); ++i) {
        CapsPtr one(gst_caps_copy_nth(device, i));
        if (!gst_caps_can_intersect(one.get(), where.get())) continue;
        if (!gst_structure_has_field(gst_caps_get_structure(one.get(), 0), "format")) {
            *sixteen = true;
            continue;
        }
        *eight = *eight || gst_caps_can_intersect(one.get(), u8.get());
        *sixteen = *sixteen || gst_caps_can_intersect(one.get(), s16.get());
    }
}

}  // namespace

std::vector<MediaType> AudioCapabilities(const GstCaps* device) {
    std::vector<MediaType> list;
    for (int rate : kStandardRates) {
        for (int channels : {1, 2}) {
            CapsPtr candidate(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate,
                                                  "channels", G_TYPE_INT, channels, nullptr));
            if (!gst_caps_can_intersect(device, candidate.get())) continue;
            bool eight = false, sixteen = false;
            NamedSampleSizes(device, rate, channels, &eight, &sixteen);
            for (int bits : {8, 16}) {
                if (bits == 8 ? !eight : !sixteen && eight) continue;
                WAVEFORMATEX wave{};
                wave.wFormatTag = WAVE_FORMAT_PCM;
                wave.nChannels = static_cast<std::uint16_t>(channels);
                wave.nSamplesPerSec = static_cast<std::uint32_t>(rate);
                wave.wBitsPerSample = static_cast<std::uint16_t>(bits);
                wave.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
                wave.nAvgBytesPerSec = wave.nBlockAlign * wave.nSamplesPerSec;
                list.push_back(AudioMediaType(wave));
            }
        }
    }
    return list;
}

std::vector<MediaType> VideoCapabilities(const GstCaps* device) {
    std::vector<MediaType> list;
    if (gst_caps_is_any(device)) return list;
    for (guint i = 0; i < gst_caps_get_size(device); ++i) {
        GstStructure* s = gst_structure_copy(gst_caps_get_structure(device, i));
        const char* name = gst_structure_get_name(s);
        if (std::strcmp(name, "video/x-raw") == 0 || std::strcmp(name, "image/jpeg") == 0) {
            gst_structure_fixate_field_nearest_int(s, "width", 640);
            gst_structure_fixate_field_nearest_int(s, "height", 480);
            if (gst_structure_has_field(s, "framerate"))
                gst_structure_fixate_field_nearest_fraction(s, "framerate", 30, 1);
            if (gst_structure_has_field(s, "format")) gst_structure_fixate_field(s, "format");
            // Memory kinds other than plain system memory cannot be grabbed.
            GstCapsFeatures* features = gst_caps_get_features(device, i);
            const bool plain =
                !features || gst_caps_features_is_any(features) ||
                gst_caps_features_contains(features, GST_CAPS_FEATURE_MEMORY_SYSTEM_MEMORY);
            MediaType type = MediaTypeFromStructure(s);
            const VIDEOINFOHEADER* vih = type.VideoInfo();
            const bool known = vih && vih->bmiHeader.biWidth > 0 && vih->bmiHeader.biHeight > 0;
            const bool duplicate = std::any_of(list.begin(), list.end(), [&](const MediaType& t) {
                return t.subtype == type.subtype && t.format == type.format;
            });
            if (plain && known && !duplicate) list.push_back(std::move(type));
        }
        gst_structure_free(s);
    }
    return list;
}

// ---- CaptureFilter --------------------------------------------------------

CaptureFilter::CaptureFilter(std::shared_ptr<const DeviceDescription> device)
    : BaseFilter("capture"), device_(std::move(device)) {}

CaptureFilter::~CaptureFilter() = default;

DeviceCategory CaptureFilter::Category() const {
    return device_->category;
}

MajorType CaptureFilter::StreamType() const {
    return device_->category == DeviceCategory::VideoInput ? MajorType::Video : MajorType::Audio;
}

bool CaptureFilter::HasStreamConfig() const {
    return device_->hasStreamConfig;
}

const std::string& CaptureFilter::DeviceName() const {
    return device_->name;
}

bool CaptureFilter::IsStandIn() const {
    return device_->standIn != StandInKind::None;
}

namespace {

// A device held by another program: it opens, then fails as it starts to
// stream and delivers nothing, as a V4L2 camera in use elsewhere does.
GstPadProbeReturn BusyProbe(GstPad* pad, GstPadProbeInfo*, gpointer name) {
    if (GstElement* source = gst_pad_get_parent_element(pad)) {
        if (!g_object_get_data(G_OBJECT(source), "lumacast-busy-told")) {
            g_object_set_data(G_OBJECT(source), "lumacast-busy-told", source);
            GST_ELEMENT_ERROR(source, RESOURCE, BUSY,
                              ("Device '%s' is busy", static_cast<const char*>(name)), (nullptr));
        }
        gst_object_unref(source);
    }
    return GST_PAD_PROBE_DROP;
}

// A live capture never ends. A device that stops (unplugged, failed) says so
// on the graph's bus; its end of stream is kept from what follows, so that
// whatever takes the device's place streams on into it.
GstPadProbeReturn DropEndOfStream(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstEvent* event = gst_pad_probe_info_get_event(info);
    return event && GST_EVENT_TYPE(event) == GST_EVENT_EOS ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

// A PipeWire capture element made from a listed device: it connects the way
// every such element does (the connection the list was read on is the
// list's own), and its stream is not moved to another device by the session
// manager when its device goes away: the capture would quietly come from
// somewhere else.
void KeepToTheDevice(GstElement* source) {
    GstElementFactory* factory = gst_element_get_factory(source);
    if (!factory || std::strcmp(GST_OBJECT_NAME(factory), "pipewiresrc") != 0) return;
    GObjectClass* kind = G_OBJECT_GET_CLASS(source);
    if (g_object_class_find_property(kind, "fd")) g_object_set(source, "fd", -1, nullptr);
    if (!g_object_class_find_property(kind, "stream-properties")) return;
    GstStructure* props =
        gst_structure_new("props", "node.dont-reconnect", G_TYPE_STRING, "true", nullptr);
    g_object_set(source, "stream-properties", props, nullptr);
    gst_structure_free(props);
}

// The capture element of a listed device. PipeWire's provider makes a
// playback element for a virtual source (the microphone of a noise filter,
// say); such a source is captured from as any other, by its serial.
GstElement* CaptureElement(GstDevice* device) {
    GstElement* element = gst_device_create_element(device, nullptr);
    if (!element || gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(element), "src"))
        return element;
    gst_object_unref(gst_object_ref_sink(element));
    GstStructure* props = gst_device_get_properties(device);
    const char* serial = props ? gst_structure_get_string(props, "object.serial") : nullptr;
    GstElement* source = serial && g_str_has_prefix(gst_structure_get_name(props), "pipewire")
                             ? gst_element_factory_make("pipewiresrc", nullptr)
                             : nullptr;
    if (source) g_object_set(source, "target-object", serial, nullptr);
    if (props) gst_structure_free(props);
    return source;
}

}  // namespace

bool CaptureFilter::Build() {
    const bool video = device_->category == DeviceCategory::VideoInput;
    if (device_->device) {
        source_ = CaptureElement(device_->device.get());
        if (source_) KeepToTheDevice(source_);
        // The graph keeps the system clock (see FilterGraph). A sound card's
        // source following a clock not its own would skip and repeat pieces
        // of sound to keep in step; nothing here plays to a clock, so it
        // keeps its own pace.
        if (source_ && g_object_class_find_property(G_OBJECT_GET_CLASS(source_), "slave-method"))
            gst_util_set_object_arg(G_OBJECT(source_), "slave-method", "none");
    } else if (device_->standIn == StandInKind::NoSignalCard) {
        source_ = gst_element_factory_make("videotestsrc", nullptr);
        if (source_) {
            g_object_set(source_, "is-live", TRUE, "foreground-color", 0xff202428u, nullptr);
            gst_util_set_object_arg(G_OBJECT(source_), "pattern", "solid-color");
        }
    } else if (video) {
        GstElement* pattern = gst_element_factory_make("videotestsrc", nullptr);
        if (pattern)
            g_object_set(pattern, "is-live", device_->live ? TRUE : FALSE, "horizontal-speed", 4,
                         nullptr);
        if (pattern && device_->stampsClock) {
            GstPad* out = gst_element_get_static_pad(pattern, "src");
            gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_BUFFER, StampClockProbe, nullptr, nullptr);
            gst_object_unref(out);
        }
        if (pattern && device_->compressed) {
            // A compressing camera: the pattern leaves the device as JPEG.
            GstElement* encoder = gst_element_factory_make("jpegenc", nullptr);
            if (!encoder) {
                gst_object_unref(gst_object_ref_sink(pattern));
                return false;
            }
            source_ = gst_bin_new(nullptr);
            gst_bin_add_many(GST_BIN(source_), pattern, encoder, nullptr);
            gst_element_link(pattern, encoder);
            GstPad* target = gst_element_get_static_pad(encoder, "src");
            gst_element_add_pad(source_, gst_ghost_pad_new("src", target));
            gst_object_unref(target);
        } else {
            source_ = pattern;
        }
    } else {
        source_ = gst_element_factory_make("audiotestsrc", nullptr);
        if (source_) {
            g_object_set(source_, "is-live", device_->live ? TRUE : FALSE, "freq", 440.0, "volume",
                         0.4, nullptr);
            gst_util_set_object_arg(G_OBJECT(source_), "wave",
                                    device_->standIn == StandInKind::Silence ? "silence" : "sine");
        }
    }
    if (!source_) return false;
    if (device_->busy) {
        GstPad* out = gst_element_get_static_pad(source_, "src");
        gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_BUFFER, BusyProbe,
                          g_strdup(device_->name.c_str()), g_free);
        gst_object_unref(out);
    }
    capsfilter_ = gst_element_factory_make("capsfilter", nullptr);
    if (!capsfilter_) {
        gst_object_unref(gst_object_ref_sink(source_));
        return false;
    }
    gst_bin_add_many(GST_BIN(bin_), source_, capsfilter_, nullptr);
    caps_ = video ? VideoCapabilities(device_->listCaps.get())
                  : AudioCapabilities(device_->listCaps.get());

    if (video) {
        if (!device_->device && !device_->compressed && device_->standIn == StandInKind::None) {
            // The test pattern gets picture controls, as a real camera has.
            GstElement* balance = gst_element_factory_make("videobalance", nullptr);
            if (!balance) return false;
            gst_bin_add(GST_BIN(bin_), balance);
            tail_ = balance;
        }
    } else {
        GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
        GstElement* resample = gst_element_factory_make("audioresample", nullptr);
        GstElement* deliveryConvert = gst_element_factory_make("audioconvert", nullptr);
        GstElement* deliveryResample = gst_element_factory_make("audioresample", nullptr);
        volume_ = gst_element_factory_make("volume", nullptr);
        delivery_ = gst_element_factory_make("capsfilter", nullptr);
        deviceCaps_ = gst_element_factory_make("capsfilter", nullptr);
        if (!convert || !resample || !deliveryConvert || !deliveryResample || !volume_ ||
            !delivery_ || !deviceCaps_) {
            for (GstElement* e : {convert, resample, deliveryConvert, deliveryResample, volume_,
                                  delivery_, deviceCaps_})
                if (e) gst_object_unref(gst_object_ref_sink(e));
            volume_ = delivery_ = deviceCaps_ = nullptr;
            return false;
        }
        gst_bin_add_many(GST_BIN(bin_), deviceCaps_, convert, resample, volume_, deliveryConvert,
                         deliveryResample, delivery_, nullptr);
        // Audio: the device is asked for the capture format's rate and
        // channels (left open, a sound server's source settles on a rate of
        // 1 Hz) in a sample format of its own choice; the conversions end in
        // the chosen capture format. Behind it a second pair converts to the
        // delivery format when one is set and passes the sound on untouched
        // otherwise.
        if (!gst_element_link_many(source_, deviceCaps_, volume_, convert, resample, capsfilter_,
                                   deliveryConvert, deliveryResample, delivery_, nullptr))
            return false;
        AddPin(delivery_, "src", "Capture");
        ghost_ = gst_element_get_static_pad(bin_, "Capture");
        gst_object_unref(ghost_);  // the bin keeps it
        gst_pad_add_probe(ghost_, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, DropEndOfStream, nullptr,
                          nullptr);
    }
    std::optional<MediaType> chosen;
    std::vector<std::pair<std::string, int>> controls;
    {
        std::lock_guard lock(device_->settingsMutex);
        chosen = device_->chosenFormat;
        controls = device_->chosenControls;
    }
    if (!caps_.empty() && (!chosen || FAILED(ApplyFormat(*chosen))) &&
        FAILED(ApplyFormat(caps_.front())))
        return false;
    if (video && !RebuildChain()) return false;
    for (const auto& [name, value] : controls) SetControl(name, value);
    return true;
}

void CaptureFilter::RememberFormat() {
    std::lock_guard lock(device_->settingsMutex);
    device_->chosenFormat = current_;
}

namespace {

bool SameSound(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec &&
           a.wBitsPerSample == b.wBitsPerSample;
}

}  // namespace

HRESULT CaptureFilter::SetDeliveryFormat(const MediaType* type) {
    if (!delivery_) return E_NOTIMPL;
    const MediaType before = DeliveredFormat();
    if (!type) {
        deliveryFormat_.reset();
        CapsPtr any(gst_caps_new_any());
        g_object_set(delivery_, "caps", any.get(), nullptr);
    } else {
        CapsPtr caps(type->Wave() ? CapsFromMediaType(*type) : nullptr);
        if (!caps) return E_INVALIDARG;
        deliveryFormat_ = MediaTypeFromCaps(caps.get());
        g_object_set(delivery_, "caps", caps.get(), nullptr);
    }
    const MediaType after = DeliveredFormat();
    const WAVEFORMATEX* was = before.Wave();
    const WAVEFORMATEX* now = after.Wave();
    return was && now && SameSound(*was, *now) ? S_FALSE : S_OK;
}

MediaType CaptureFilter::DeliveredFormat() const {
    return deliveryFormat_ ? *deliveryFormat_ : current_;
}

bool CaptureFilter::RebuildChain() {
    // source -> capsfilter -> [jpegdec] -> [videobalance] -> "Capture"
    const bool wantDecoder = current_.subtype == SubType::MJPG;
    if (ghost_ && (decoder_ != nullptr) == wantDecoder) return true;
    gst_element_unlink(source_, capsfilter_);
    if (decoder_) {
        gst_element_set_state(decoder_, GST_STATE_NULL);
        gst_bin_remove(GST_BIN(bin_), decoder_);
        decoder_ = nullptr;
    } else if (tail_) {
        gst_element_unlink(capsfilter_, tail_);
    }
    if (wantDecoder) {
        decoder_ = gst_element_factory_make("jpegdec", nullptr);
        if (!decoder_) return false;
        gst_bin_add(GST_BIN(bin_), decoder_);
    }
    if (!gst_element_link(source_, capsfilter_)) return false;
    GstElement* last = capsfilter_;
    for (GstElement* next : {decoder_, tail_}) {
        if (!next) continue;
        if (!gst_element_link(last, next)) return false;
        last = next;
    }
    GstPad* target = gst_element_get_static_pad(last, "src");
    bool ok = true;
    if (!ghost_) {
        AddPin(last, "src", "Capture");
        ghost_ = gst_element_get_static_pad(bin_, "Capture");
        gst_object_unref(ghost_);
        gst_pad_add_probe(ghost_, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, DropEndOfStream, nullptr,
                          nullptr);
    } else {
        ok = gst_ghost_pad_set_target(GST_GHOST_PAD(ghost_), target);
    }
    gst_object_unref(target);
    return ok;
}

HRESULT CaptureFilter::ApplyFormat(const MediaType& requested) {
    const bool video = device_->category == DeviceCategory::VideoInput;
    if (video ? requested.VideoInfo() == nullptr : requested.Wave() == nullptr) return E_INVALIDARG;
    CapsPtr caps(CapsFromMediaType(requested));
    if (!caps || !gst_caps_can_intersect(caps.get(), device_->acceptCaps.get()))
        return E_INVALIDARG;
    const bool decoderChange =
        video && (requested.subtype == SubType::MJPG) != (decoder_ != nullptr);
    if (decoderChange && ghost_ && GST_STATE(bin_) != GST_STATE_NULL) return VFW_E_WRONG_STATE;

    MediaType applied = MediaTypeFromCaps(caps.get());
    if (video) applied.subtype = requested.subtype;
    const MediaType previous = current_;
    current_ = applied;
    if (video && ghost_ && !RebuildChain()) {
        current_ = previous;
        return E_FAIL;
    }
    g_object_set(capsfilter_, "caps", caps.get(), nullptr);
    if (deviceCaps_) {
        const WAVEFORMATEX* wave = requested.Wave();
        CapsPtr rate(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT,
                                         static_cast<int>(wave->nSamplesPerSec), "channels",
                                         G_TYPE_INT, static_cast<int>(wave->nChannels), nullptr));
        g_object_set(deviceCaps_, "caps", rate.get(), nullptr);
    }
    return S_OK;
}

GstElement* CaptureFilter::ColorBalanceElement() const {
    if (tail_ && GST_IS_COLOR_BALANCE(tail_)) return tail_;
    if (source_ && GST_IS_COLOR_BALANCE(source_)) return source_;
    return nullptr;
}

HRESULT CaptureFilter::GetControls(std::vector<DeviceControl>* controls) {
    if (!controls) return E_POINTER;
    controls->clear();
    if (volume_) {
        double volume = 1.0;
        g_object_get(volume_, "volume", &volume, nullptr);
        controls->push_back({"Volume", 0, 100, static_cast<int>(volume * 100.0 + 0.5)});
        return S_OK;
    }
    GstElement* element = ColorBalanceElement();
    if (!element) return S_FALSE;
    // A camera lists its controls only while it is open.
    const bool opened = element == source_ && GST_STATE(source_) == GST_STATE_NULL;
    if (opened) gst_element_set_state(source_, GST_STATE_READY);
    GstColorBalance* balance = GST_COLOR_BALANCE(element);
    for (const GList* l = gst_color_balance_list_channels(balance); l; l = l->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(l->data);
        controls->push_back({channel->label ? channel->label : "", channel->min_value,
                             channel->max_value, gst_color_balance_get_value(balance, channel)});
    }
    if (opened) gst_element_set_state(source_, GST_STATE_NULL);
    return controls->empty() ? S_FALSE : S_OK;
}

HRESULT CaptureFilter::SetControl(const std::string& name, int value) {
    if (volume_) {
        if (name != "Volume" || value < 0 || value > 100) return E_INVALIDARG;
        g_object_set(volume_, "volume", value / 100.0, nullptr);
        RememberControl(name, value);
        return S_OK;
    }
    GstElement* element = ColorBalanceElement();
    if (!element) return E_NOTIMPL;
    const bool opened = element == source_ && GST_STATE(source_) == GST_STATE_NULL;
    if (opened) gst_element_set_state(source_, GST_STATE_READY);
    HRESULT hr = E_INVALIDARG;
    GstColorBalance* balance = GST_COLOR_BALANCE(element);
    for (const GList* l = gst_color_balance_list_channels(balance); l; l = l->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(l->data);
        if (channel->label && name == channel->label && value >= channel->min_value &&
            value <= channel->max_value) {
            gst_color_balance_set_value(balance, channel, value);
            hr = S_OK;
        }
    }
    if (opened) gst_element_set_state(source_, GST_STATE_NULL);
    if (hr == S_OK) RememberControl(name, value);
    return hr;
}

void CaptureFilter::RememberControl(const std::string& name, int value) {
    std::lock_guard lock(device_->settingsMutex);
    for (auto& [known, stored] : device_->chosenControls) {
        if (known == name) {
            stored = value;
            return;
        }
    }
    device_->chosenControls.emplace_back(name, value);
}

// ---- StreamConfig ---------------------------------------------------------

HRESULT StreamConfig::GetNumberOfCapabilities(int* count, int* size) const {
    if (!count || !size) return E_POINTER;
    *count = static_cast<int>(filter_->Capabilities().size());
    *size = filter_->StreamType() == MajorType::Audio ? static_cast<int>(sizeof(WAVEFORMATEX))
                                                      : static_cast<int>(sizeof(VIDEOINFOHEADER));
    return S_OK;
}

HRESULT StreamConfig::GetStreamCaps(int index, MediaType* type) const {
    if (!type) return E_POINTER;
    const auto& list = filter_->Capabilities();
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return E_INVALIDARG;
    *type = list[static_cast<std::size_t>(index)];
    return S_OK;
}

HRESULT StreamConfig::GetFormat(MediaType* type) const {
    if (!type) return E_POINTER;
    if (filter_->CurrentFormat().formattype == FormatType::None) return E_FAIL;
    *type = filter_->CurrentFormat();
    return S_OK;
}

HRESULT StreamConfig::SetFormat(const MediaType& type) {
    const HRESULT hr = filter_->ApplyFormat(type);
    // A camera keeps the format it was set to; an audio device's capture
    // format is set anew from the settings every time.
    if (SUCCEEDED(hr) && filter_->Category() == DeviceCategory::VideoInput)
        filter_->RememberFormat();
    return hr;
}

// ---- stand-ins ------------------------------------------------------------

HRESULT MakeStandIn(DeviceCategory category, const std::string& name, const MediaType& format,
                    const MediaType* delivery, RefPtr<CaptureFilter>* standIn) {
    if (!standIn) return E_POINTER;
    *standIn = nullptr;
    if (!EnsureGstreamer()) return E_FAIL;
    auto d = std::make_shared<DeviceDescription>();
    d->category = category;
    d->name = name;
    d->key = "stand-in:" + name;
    d->hasStreamConfig = false;
    MediaType applied = format;
    if (category == DeviceCategory::VideoInput) {
        const VIDEOINFOHEADER* vih = format.VideoInfo();
        if (!vih || vih->bmiHeader.biWidth <= 0 || vih->bmiHeader.biHeight == 0)
            return E_INVALIDARG;
        const int height =
            vih->bmiHeader.biHeight < 0 ? -vih->bmiHeader.biHeight : vih->bmiHeader.biHeight;
        // The card is raw whatever the device sent; its size and rate are the device's.
        int num = 30, den = 1;
        if (vih->AvgTimePerFrame > 0) {
            num = 10000000;
            den = static_cast<int>(vih->AvgTimePerFrame);
        }
        applied = VideoMediaType(SubType::YUY2, vih->bmiHeader.biWidth, height, num, den);
        d->standIn = StandInKind::NoSignalCard;
        d->listCaps.reset(CapsFromMediaType(applied));
    } else {
        if (!format.Wave()) return E_INVALIDARG;
        d->standIn = StandInKind::Silence;
        d->listCaps.reset(gst_caps_from_string(
            "audio/x-raw,format={U8,S16LE},layout=interleaved,rate=[8000,48000],channels=[1,2]"));
    }
    if (!d->listCaps) return E_INVALIDARG;
    d->acceptCaps.reset(gst_caps_copy(d->listCaps.get()));
    RefPtr<CaptureFilter> filter;
    HRESULT hr = Moniker(d).BindToObject(&filter);
    if (FAILED(hr)) return hr;
    hr = filter->ApplyFormat(applied);
    if (FAILED(hr)) return hr;
    if (delivery && category == DeviceCategory::AudioInput) {
        hr = filter->SetDeliveryFormat(delivery);
        if (FAILED(hr)) return hr;
    }
    *standIn = filter;
    return S_OK;
}

}  // namespace capture
