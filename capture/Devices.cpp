#include "capture/Devices.h"

#include <gst/video/colorbalance.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "platform/UniqueHandle.h"

namespace capture {

namespace {

void UnrefCaps(GstCaps* caps) {
    gst_caps_unref(caps);
}
void UnrefDevice(GstDevice* device) {
    gst_object_unref(device);
}
using CapsPtr = UniqueHandle<GstCaps, UnrefCaps>;
using DevicePtr = UniqueHandle<GstDevice, UnrefDevice>;

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

struct DeviceDescription {
    DeviceCategory category = DeviceCategory::VideoInput;
    std::string name;
    bool hasName = true;
    DevicePtr device;  // null for a test device
    bool live = true;
    bool hasStreamConfig = true;
    bool canBind = true;
    bool compressed = false;
    bool stampsClock = false;
    bool eightBitOnly = false;
    CapsPtr listCaps;    // the formats the device lists
    CapsPtr acceptCaps;  // the formats it can be set to

    // What the settings pages set stays with the device for as long as it
    // is listed: a filter made for it again starts from these.
    mutable std::mutex settingsMutex;
    mutable std::optional<MediaType> chosenFormat;
    mutable std::vector<std::pair<std::string, int>> chosenControls;
};

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
    std::lock_guard lock(g_testMutex);
    g_testDevices = std::move(devices);
}

void ResetTestDevices() {
    std::lock_guard lock(g_testMutex);
    g_testDevices.reset();
}

namespace {

std::shared_ptr<DeviceDescription> DescribeTestDevice(const TestDevice& test) {
    auto d = std::make_shared<DeviceDescription>();
    d->category = test.category;
    d->name = test.name;
    d->hasName = test.hasName;
    d->live = test.live;
    d->hasStreamConfig = test.hasStreamConfig;
    d->canBind = test.canBind;
    d->compressed = test.compressed;
    d->stampsClock = test.stampsClock;
    d->eightBitOnly = test.eightBitOnly;
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

std::shared_ptr<DeviceDescription> DescribeSystemDevice(GstDevice* device,
                                                        DeviceCategory category) {
    auto d = std::make_shared<DeviceDescription>();
    d->category = category;
    gchar* name = gst_device_get_display_name(device);
    d->hasName = name && *name;
    d->name = name ? name : "";
    g_free(name);
    d->device.reset(GST_DEVICE(gst_object_ref(device)));
    GstCaps* caps = gst_device_get_caps(device);
    d->listCaps.reset(caps ? caps : gst_caps_new_any());
    d->acceptCaps.reset(gst_caps_copy(d->listCaps.get()));
    return d;
}

std::string DeviceSortKey(GstDevice* device) {
    std::string key;
    if (GstStructure* props = gst_device_get_properties(device)) {
        for (const char* field : {"device.path", "object.path", "alsa.card", "udev-probed"}) {
            if (const char* v = gst_structure_get_string(props, field)) key += v;
        }
        gst_structure_free(props);
    }
    return key;
}

std::vector<std::shared_ptr<DeviceDescription>> SystemDevices(DeviceCategory category) {
    std::vector<std::shared_ptr<DeviceDescription>> result;
    if (!EnsureGstreamer()) return result;
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(
        monitor, category == DeviceCategory::VideoInput ? "Video/Source" : "Audio/Source", nullptr);
    GList* devices = gst_device_monitor_get_devices(monitor);
    for (GList* l = devices; l; l = l->next)
        result.push_back(DescribeSystemDevice(GST_DEVICE(l->data), category));
    g_list_free_full(devices, gst_object_unref);
    gst_object_unref(monitor);
    // The monitor's order depends on its providers; sort so that indices
    // stay put while the set of devices does not change.
    std::stable_sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
        if (a->name != b->name) return a->name < b->name;
        return DeviceSortKey(a->device.get()) < DeviceSortKey(b->device.get());
    });
    return result;
}

}  // namespace

HRESULT CreateClassEnumerator(DeviceCategory category, std::vector<RefPtr<Moniker>>* monikers) {
    if (!monikers) return E_POINTER;
    monikers->clear();
    if (!EnsureGstreamer()) return E_FAIL;
    if (!OnlyFakeDevices()) {
        for (auto& d : SystemDevices(category))
            monikers->push_back(RefPtr<Moniker>::Adopt(new Moniker(d)));
    }
    std::vector<TestDevice> tests;
    {
        std::lock_guard lock(g_testMutex);
        if (g_testDevices)
            tests = *g_testDevices;
        else if (FakeDevicesEnabled())
            tests = DefaultTestDevices();
    }
    for (const auto& t : tests)
        if (t.category == category)
            monikers->push_back(RefPtr<Moniker>::Adopt(new Moniker(DescribeTestDevice(t))));
    return monikers->empty() ? S_FALSE : S_OK;
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

// The usual PCM formats a device offers. With sampleSizes, only the sample
// sizes its caps name; otherwise both, as the converters behind a system
// device make either from whatever it captures.
std::vector<MediaType> AudioCapabilities(const GstCaps* device, bool sampleSizes) {
    std::vector<MediaType> list;
    for (int rate : kStandardRates) {
        for (int channels : {1, 2}) {
            CapsPtr candidate(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate,
                                                  "channels", G_TYPE_INT, channels, nullptr));
            if (!gst_caps_can_intersect(device, candidate.get())) continue;
            for (int bits : {8, 16}) {
                if (sampleSizes) {
                    CapsPtr sized(gst_caps_new_simple(
                        "audio/x-raw", "format", G_TYPE_STRING, bits == 8 ? "U8" : "S16LE", "rate",
                        G_TYPE_INT, rate, "channels", G_TYPE_INT, channels, nullptr));
                    if (!gst_caps_can_intersect(device, sized.get())) continue;
                }
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
                return t.subtype == type.subtype && t.caps == type.caps;
            });
            if (plain && known && !duplicate) list.push_back(std::move(type));
        }
        gst_structure_free(s);
    }
    return list;
}

}  // namespace

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

bool CaptureFilter::Build() {
    const bool video = device_->category == DeviceCategory::VideoInput;
    if (device_->device) {
        source_ = gst_device_create_element(device_->device.get(), nullptr);
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
            gst_util_set_object_arg(G_OBJECT(source_), "wave", "sine");
        }
    }
    if (!source_) return false;
    capsfilter_ = gst_element_factory_make("capsfilter", nullptr);
    if (!capsfilter_) {
        gst_object_unref(gst_object_ref_sink(source_));
        return false;
    }
    gst_bin_add_many(GST_BIN(bin_), source_, capsfilter_, nullptr);
    caps_ = video ? VideoCapabilities(device_->listCaps.get())
                  : AudioCapabilities(device_->listCaps.get(), !device_->device);

    if (video) {
        if (!device_->device && !device_->compressed) {
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
        if (!convert || !resample || !deliveryConvert || !deliveryResample || !volume_ ||
            !delivery_) {
            for (GstElement* e :
                 {convert, resample, deliveryConvert, deliveryResample, volume_, delivery_})
                if (e) gst_object_unref(gst_object_ref_sink(e));
            volume_ = delivery_ = nullptr;
            return false;
        }
        gst_bin_add_many(GST_BIN(bin_), convert, resample, volume_, deliveryConvert,
                         deliveryResample, delivery_, nullptr);
        // Audio: the device delivers what it likes; the conversions end in
        // the chosen capture format. Behind it a second pair converts to the
        // delivery format when one is set and passes the sound on untouched
        // otherwise.
        if (!gst_element_link_many(source_, volume_, convert, resample, capsfilter_,
                                   deliveryConvert, deliveryResample, delivery_, nullptr))
            return false;
        AddPin(delivery_, "src", "Capture");
        ghost_ = gst_element_get_static_pad(bin_, "Capture");
        gst_object_unref(ghost_);  // the bin keeps it
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

}  // namespace capture
