#pragma once
// What the capture layer knows of one device, behind its monikers: its name
// and identity, the provider's device it makes its element from (or the kind
// of test device or stand-in it is), the formats it lists and accepts, and
// the settings made for it. Also the format lists read from a device's caps
// and the merging of the providers' device lists into one entry per device.
// Private to capture/ and its tests.

#include <gst/gst.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/Devices.h"
#include "platform/UniqueHandle.h"

namespace capture {

inline void UnrefCaps(GstCaps* caps) {
    gst_caps_unref(caps);
}
inline void UnrefDevice(GstDevice* device) {
    gst_object_unref(device);
}
using CapsPtr = UniqueHandle<GstCaps, UnrefCaps>;
using DevicePtr = UniqueHandle<GstDevice, UnrefDevice>;

// What stands in for a device that is gone or failed.
enum class StandInKind { None, NoSignalCard, Silence };

struct DeviceDescription {
    DeviceCategory category = DeviceCategory::VideoInput;
    std::string name;
    bool hasName = true;
    // The same device in every list and after it was plugged in again
    // (a PipeWire node's name, a V4L2 device's path); "test:" and the name
    // for a test device.
    std::string key;
    // This appearance of the device: a device plugged in again (a new node)
    // has a new one.
    std::string instance;
    DevicePtr device;  // null for a test device or a stand-in
    bool live = true;
    bool hasStreamConfig = true;
    bool canBind = true;
    bool compressed = false;
    bool stampsClock = false;
    bool eightBitOnly = false;
    bool busy = false;
    StandInKind standIn = StandInKind::None;
    CapsPtr listCaps;    // the formats the device lists
    CapsPtr acceptCaps;  // the formats it can be set to

    // What the settings pages set stays with the device for as long as it
    // is listed: a filter made for it again starts from these.
    mutable std::mutex settingsMutex;
    mutable std::optional<MediaType> chosenFormat;
    mutable std::vector<std::pair<std::string, int>> chosenControls;
};

// The PCM formats offered for audio caps: the standard rates from 8000 to
// 48000 Hz in mono and stereo that the caps allow, each in the sample sizes
// (8 and 16 bits) the caps name; in 16 bits where they name neither or no
// sample format at all (the conversions behind the device make it).
std::vector<MediaType> AudioCapabilities(const GstCaps* caps);
// The raw and JPEG frame formats of video caps in system memory, one per
// format and size, each fixed to the frame rate nearest 30.
std::vector<MediaType> VideoCapabilities(const GstCaps* caps);

// The providers' devices of one category as one list, one entry per device:
// a PipeWire node and its PulseAudio entry, or a V4L2 camera and its
// PipeWire node, become the entry of the provider that serves it best
// (PulseAudio for sound, V4L2 for pictures); PulseAudio's monitors of
// outputs are no capture devices, and ALSA's devices are left out when a
// sound server lists any (it holds them). Sorted by name, then key.
std::vector<std::shared_ptr<DeviceDescription>> MergeProvidedDevices(
    const std::vector<GstDevice*>& devices, DeviceCategory category);

// Whether the system's devices are listed (not with
// LUMACAST_FAKE_DEVICES=only).
bool SystemDevicesListed();

// The system's devices of a category as last seen by RefreshSystemDevices.
std::vector<std::shared_ptr<const DeviceDescription>> LatestSystemDevices(DeviceCategory category);
// Looks at the system's devices now; counts a change in
// DeviceListGeneration.
void RefreshSystemDevices();
// Counts a change of the test device list.
void NoteTestDevicesChanged();

}  // namespace capture
