#pragma once
// Capture devices: the system device list (GstDeviceMonitor plus the test
// devices), a handle per device, the device's capture filter and the stream
// configuration of its capture pin, and the device settings that the
// settings pages show.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/Filter.h"
#include "capture/MediaTypes.h"
#include "platform/RefPtr.h"

namespace capture {

enum class DeviceCategory { VideoInput, AudioInput };

struct DeviceDescription;
class CaptureFilter;

// A handle to one device ("moniker").
class Moniker : public RefCounted {
  public:
    explicit Moniker(std::shared_ptr<const DeviceDescription> device);
    // The device's display name; E_FAIL if it has none.
    HRESULT ReadFriendlyName(std::string* name) const;
    // A new capture filter for the device.
    HRESULT BindToObject(RefPtr<CaptureFilter>* filter) const;
    DeviceCategory Category() const;
    // What names the device in every list and after it was plugged in again.
    const std::string& Key() const;
    // Whether both name the same appearance of a device: one plugged in
    // again is the same device (same key) but another appearance.
    bool SameInstance(const Moniker& other) const;
    // Takes over what the settings pages set for the device that names it
    // (a list made anew has new monikers for the same devices).
    void InheritSettings(const Moniker& from) const;

  private:
    std::shared_ptr<const DeviceDescription> device_;
};

// The devices of a category, real ones first, then (with
// LUMACAST_FAKE_DEVICES=1) the test devices; LUMACAST_FAKE_DEVICES=only lists
// the test devices alone. The system is looked at anew. S_FALSE for an empty
// category.
HRESULT CreateClassEnumerator(DeviceCategory category, std::vector<RefPtr<Moniker>>* monikers);

// The device of a category with this key as the last look at the system
// (or the test device list) has it, or null. Does not look anew.
RefPtr<Moniker> FindDevice(DeviceCategory category, const std::string& key);

// Counts every change of what CreateClassEnumerator would list: a device
// plugged in or out as a look at the system saw it, the test devices replaced.
std::uint64_t DeviceListGeneration();

// While one lives, a thread of its own looks at the system's devices every
// second (and at once when udev or the sound server tells of a change), so
// that DeviceListGeneration counts a device plugged in or out without anyone
// asking. Any thread; the first starts the thread, the last stops it.
class DeviceWatch {
  public:
    DeviceWatch();
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

  private:
    bool holding_ = false;
};

// A test device. The default list (used when LUMACAST_FAKE_DEVICES=1) is one
// "Lumacast Test Camera" and one "Lumacast Test Microphone"; tests may set
// another list, which is then used instead of the default.
struct TestDevice {
    DeviceCategory category = DeviceCategory::VideoInput;
    std::string name;
    bool hasName = true;
    bool live = true;             // paced to its frame rate or sample rate
    bool hasStreamConfig = true;  // the capture pin can be configured
    bool canBind = true;          // a capture filter can be made
    bool compressed = false;      // a camera that delivers JPEG frames (MJPEG)
    bool stampsClock = false;     // a camera that stamps its capture time (see below)
    bool eightBitOnly = false;    // a microphone that offers 8-bit formats only
    bool busy = false;            // held by another program: fails as it starts
};
// Replaces the test devices (and counts a change of the device lists).
void SetTestDevices(std::vector<TestDevice> devices);

// A camera with stampsClock (the default test camera when
// LUMACAST_TEST_CAMERA_CLOCK=1) writes the wall-clock time of each frame's
// capture into the frame's bottom 16 rows, for latency measurements: the
// milliseconds since 1970 modulo 2^40 as 40 blocks side by side, most
// significant bit first, each block (width / 40 rounded down to even pixels)
// white for 1 and black for 0.
constexpr int kClockStampBits = 40;
constexpr int kClockStampRows = 16;
void StampCaptureClock(std::uint8_t* yuy2, int width, int height, int stride,
                       std::uint64_t milliseconds);
void ResetTestDevices();
std::vector<TestDevice> DefaultTestDevices();

// A device control and its range, e.g. brightness or volume.
struct DeviceControl {
    std::string name;
    int minimum = 0;
    int maximum = 0;
    int value = 0;
};

// The stream configuration of a capture pin.
class StreamConfig : public RefCounted {
  public:
    explicit StreamConfig(RefPtr<CaptureFilter> filter) : filter_(std::move(filter)) {}
    // count: the formats offered; size: bytes of a format block.
    HRESULT GetNumberOfCapabilities(int* count, int* size) const;
    // Format index: audio as WAVEFORMATEX, video as VIDEOINFOHEADER;
    // E_INVALIDARG for an index outside the list.
    HRESULT GetStreamCaps(int index, MediaType* type) const;
    HRESULT GetFormat(MediaType* type) const;
    // E_INVALIDARG for a format the device cannot deliver;
    // VFW_E_WRONG_STATE when the change needs a stopped graph.
    HRESULT SetFormat(const MediaType& type);

  private:
    RefPtr<CaptureFilter> filter_;
};

constexpr HRESULT VFW_E_WRONG_STATE = static_cast<HRESULT>(0x80040227u);

// The filter of a capture device: its source and the conversions that make
// its output a plain raw stream, with one output pin "Capture".
class CaptureFilter : public BaseFilter {
  public:
    ~CaptureFilter() override;

    DeviceCategory Category() const;
    MajorType StreamType() const;
    bool HasStreamConfig() const;
    // The name of the device, or of the device it stands in for.
    const std::string& DeviceName() const;
    bool IsStandIn() const;
    const std::vector<MediaType>& Capabilities() const { return caps_; }
    const MediaType& CurrentFormat() const { return current_; }
    HRESULT ApplyFormat(const MediaType& type);

    // Device settings: a video device's picture controls (brightness,
    // contrast, hue, saturation) and an audio device's volume (0 to 100).
    // What is set, like a camera format set through its StreamConfig, stays
    // with the device: the next filter made for it starts from it.
    HRESULT GetControls(std::vector<DeviceControl>* controls);
    HRESULT SetControl(const std::string& name, int value);

    // An audio device's "Capture" pin delivers the capture format unless a
    // delivery format is set: then the captured sound leaves converted to
    // that PCM format (rate, channels, sample size), so a consumer that needs
    // another format than the device captures in still gets the sound at its
    // true speed. Null goes back to the capture format. Set it while the
    // graph is stopped. S_FALSE: the delivered format stays as it was;
    // E_INVALIDARG: not a PCM format; E_NOTIMPL: a video device.
    HRESULT SetDeliveryFormat(const MediaType* type);
    // What the "Capture" pin delivers.
    MediaType DeliveredFormat() const;

  private:
    friend class Moniker;
    friend class StreamConfig;
    void RememberFormat();
    void RememberControl(const std::string& name, int value);
    explicit CaptureFilter(std::shared_ptr<const DeviceDescription> device);
    bool Build();
    bool RebuildChain();
    GstElement* ColorBalanceElement() const;

    std::shared_ptr<const DeviceDescription> device_;
    std::vector<MediaType> caps_;
    MediaType current_;
    GstElement* source_ = nullptr;
    GstElement* capsfilter_ = nullptr;
    GstElement* decoder_ = nullptr;
    GstElement* tail_ = nullptr;  // ghosted as "Capture"
    GstElement* volume_ = nullptr;
    GstElement* deviceCaps_ = nullptr;  // audio: what the device is asked for
    GstElement* delivery_ = nullptr;    // audio: the delivery format's capsfilter
    std::optional<MediaType> deliveryFormat_;
    GstPad* ghost_ = nullptr;
};

// What takes the place of a device that is gone or failed, so that what
// follows it sees the same stream: for a camera a card in the format given
// (raw, at its size and rate; the frame tap's owner writes "No signal" on
// it), for a microphone silence in the capture format given and delivered
// as delivery (null: as captured). name: the device's.
HRESULT MakeStandIn(DeviceCategory category, const std::string& name, const MediaType& format,
                    const MediaType* delivery, RefPtr<CaptureFilter>* standIn);

}  // namespace capture
