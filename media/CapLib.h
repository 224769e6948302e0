#pragma once
// The capture library: the lists of capture devices, the preview graph of the
// chosen video and audio device (camera -> frame tap -> preview; microphone ->
// our audio tap -> null renderer), the latest frame for the encoder and the
// log "caplib.txt". Every operation runs on the user-interface thread; the
// results are 1 or 0, problems are shown in message boxes.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/Devices.h"
#include "capture/Filter.h"
#include "capture/PreviewSurface.h"
#include "capture/SampleGrabber.h"
#include "media/FrameGrabber.h"
#include "media/SoundCaptureFilter.h"
#include "platform/RefPtr.h"

class CapLib {
  public:
    static constexpr int kMaxDevices = 10;

    // Sets the log beside the program, empties it and lists the devices.
    CapLib();
    ~CapLib();  // closes what Close has not
    CapLib(const CapLib&) = delete;
    CapLib& operator=(const CapLib&) = delete;

    // Device lists (at most ten of each kind, in the system's order).
    void EnumerateDevices();
    // Whether the system's devices changed since the lists were made.
    bool DevicesChanged() const;
    // Where each device of the old lists is in the new ones (-1: gone).
    struct DeviceIndexMap {
        std::vector<int> video;
        std::vector<int> audio;
    };
    // Makes the lists anew when the devices changed (a camera plugged in
    // while Server setup is open) and tells where the old entries went, so
    // that an index kept elsewhere can follow its device; nothing when
    // unchanged. The library's own selection follows by itself.
    std::optional<DeviceIndexMap> RefreshDevices();
    int GetVideoDeviceCount() const { return videoDeviceCount; }
    int GetAudioDeviceCount() const { return audioDeviceCount; }
    // The device's name in a buffer that the next call of the same kind
    // overwrites; empty if it cannot be read. The name is logged.
    const char* GetVideoDeviceName(int index);
    const char* GetAudioDeviceName(int index);
    // The audio device's capture formats as 18-byte entries; their number, or
    // 0 and no array on any failure.
    int GetAudioCaptureFormats(int audioIndex, std::unique_ptr<WAVEFORMATEX[]>* formats);

    // Chooses the devices (-1: none) and the audio format; rebuilds and
    // restarts the preview when anything changed and wantPreview is set. The
    // window shows the preview and must outlive the library (Close clears it).
    int SelectDevices(int videoIndex, int audioIndex, capture::PreviewSurface* window,
                      int formatIndex);
    int StartPreview();  // 1 = running
    int StopPreview();   // 1 = stopped; 0 = was not running or failed
    void Close();

    // The latest frame (see FrameGrabberCallback). The frame callback stays
    // in force when the preview restarts.
    void SetFrameCallback(FrameCallback* callback);
    FrameDC* GetFrameDC();
    int GetFrameWidth();
    int GetFrameHeight();
    int GetFrameLength();
    std::uint8_t* LockFrame();
    void UnlockFrame();
    // The audio tap's callback (null: none); like the frame callback it gets
    // no call once replaced. Only the current audio tap has it: the caller
    // installs it again after a selection rebuilds the graph.
    void SetAudioCallback(AudioChunkCallback* callback);

    // Device settings for the settings pages. The video device's formats
    // (empty without a video device with a configurable pin) and its current
    // one; SetVideoFormat puts it on another format the way a format page
    // does: the preview stops, the graph comes down, the format is set and,
    // with wantPreview, the graph is built and started again. 1 = format set.
    std::vector<capture::MediaType> GetVideoFormats() const;
    int SetVideoFormat(const capture::MediaType& format);

    // The sound the audio callback receives: by default the audio capture
    // format; with a format (16-bit PCM), the captured sound converted to its
    // rate and channel count, so the encoder gets what its codec format takes
    // whatever capture format the settings name. Stays in force for later
    // selections; null goes back to the capture format. A running preview
    // restarts when what the callback receives changes. 1 = in force.
    int SetAudioDeliveryFormat(const WAVEFORMATEX* format);

    // What happened to a chosen device, for the user to be told.
    struct DeviceEvent {
        enum class Kind { Lost, Back, Busy, RefusesFormat, Failed };
        Kind kind = Kind::Lost;
        bool video = true;   // the camera, else the microphone
        std::string name;    // the device's
        std::string detail;  // the system's words, for Failed
    };
    // Called on the user-interface thread every half second or so (the
    // broadcast session does): a chosen device that went away or failed gives
    // way, in the running graph, to a stand-in in the same format (a card
    // saying "No signal", silence) while the other device runs on; a device
    // that comes back is taken up again in the format it had, once it has
    // been listed for kSettle (the system's session manager sets a new
    // device up meanwhile; taken at once, a microphone could be joined to
    // another source). What happened since the last call, each thing once.
    std::vector<DeviceEvent> CheckDevices();
    static constexpr std::chrono::milliseconds kSettle{400};
    bool VideoStandingIn() const { return videoSlot_.standingIn; }
    bool AudioStandingIn() const { return audioSlot_.standingIn; }
    // Whether the capture gives pictures, and sound, now: from the chosen
    // device or its stand-in. A device that could not be opened gives none.
    bool HasVideo() const;
    bool HasAudio() const;

    // The devices of the last selection (-1: none), for the setup dialog.
    int GetSelectedVideoIndex() const { return selectedVideoIndex; }
    int GetSelectedAudioIndex() const { return selectedAudioIndex; }

    // Set by the main window before the first selection: build and run the
    // graph only when set.
    bool wantPreview = false;

    // State, for the settings pages and tests.
    bool PreviewGraphBuilt() const { return previewGraphBuilt; }
    bool Previewing() const { return previewing; }
    std::vector<std::string> GraphFilterNames() const;
    capture::CaptureFilter* VideoCaptureFilter() const { return videoCaptureFilter.Get(); }
    capture::CaptureFilter* AudioCaptureFilter() const { return audioCaptureFilter.Get(); }

  private:
    int InitCaptureFilters();
    int BuildPreviewGraph();
    void TearDownGraph();
    void RemoveDownstream(capture::BaseFilter* filter);
    void FreeCaptureFilters();
    RefPtr<capture::Moniker> VideoMoniker(int index) const;
    RefPtr<capture::Moniker> AudioMoniker(int index) const;

    // What the library keeps of a chosen device while a stand-in takes its
    // place.
    struct DeviceSlot {
        bool standingIn = false;
        capture::MediaType format;          // the device's when it left
        RefPtr<capture::Moniker> failed;    // the appearance that failed
        bool seenAbsent = false;            // gone since it failed
        RefPtr<capture::Moniker> appeared;  // back, not yet taken up
        std::chrono::steady_clock::time_point appearedAt{};
    };
    DeviceSlot& Slot(bool video) { return video ? videoSlot_ : audioSlot_; }
    RefPtr<capture::CaptureFilter>& DeviceFilter(bool video) {
        return video ? videoCaptureFilter : audioCaptureFilter;
    }
    RefPtr<capture::Moniker>& SelectedMoniker(bool video) {
        return video ? selectedVideoMoniker : selectedAudioMoniker;
    }
    // The latest appearance of a chosen device (a device plugged in again is
    // a new one), with what was set for it.
    static RefPtr<capture::Moniker> Latest(const RefPtr<capture::Moniker>& moniker);
    void StandIn(bool video, DeviceEvent::Kind why, const std::string& detail,
                 std::vector<DeviceEvent>* events);
    void TakeBack(bool video, const RefPtr<capture::Moniker>& device,
                  std::vector<DeviceEvent>* events);
    void AfterDeviceChange(bool video);
    // The errors of the devices in the graph, each turned into its stand-in.
    void StandInForFailedDevices(std::vector<DeviceEvent>* events);
    // The audio capture format nearest to what is wanted (the delivery
    // format, else 16-bit stereo at 44100 Hz): same sample size first, then
    // the nearest rate, then the channel count.
    int NearestAudioFormat() const;

    RefPtr<capture::CaptureGraphBuilder> builder;
    RefPtr<capture::VideoRenderer> videoWindow;
    RefPtr<capture::StreamConfig> audioStreamConfig;
    RefPtr<capture::StreamConfig> videoStreamConfig;
    RefPtr<capture::CaptureFilter> videoCaptureFilter;
    RefPtr<capture::CaptureFilter> audioCaptureFilter;
    RefPtr<capture::SampleGrabber> sampleGrabber;
    RefPtr<capture::FilterGraph> graph;
    bool previewGraphBuilt = false;
    bool previewing = false;
    RefPtr<capture::Moniker> videoDeviceMonikers[kMaxDevices];
    RefPtr<capture::Moniker> audioDeviceMonikers[kMaxDevices];
    RefPtr<capture::Moniker> selectedVideoMoniker;
    RefPtr<capture::Moniker> selectedAudioMoniker;
    int selectedVideoIndex = -1;
    int selectedAudioIndex = -1;
    int audioCaptureFormatIndex = 0;
    capture::PreviewSurface* previewWindow = nullptr;
    std::uint32_t rotRegistration = 0;
    int videoDeviceCount = 0;
    int audioDeviceCount = 0;
    SoundCaptureFilter* soundFilter = nullptr;  // the graph holds it
    RefPtr<capture::NullRenderer> nullRenderer;
    int frameWidth = 0;
    int frameHeight = 0;
    std::unique_ptr<FrameGrabberCallback> frameGrabberCallback;
    bool closed = false;
    std::optional<WAVEFORMATEX> audioDeliveryFormat_;
    FrameCallback* frameCallback_ = nullptr;

    capture::DeviceWatch watch_;
    std::uint64_t listsGeneration_ = 0;    // DeviceListGeneration when the lists were made
    std::uint64_t checkedGeneration_ = 0;  // ... when CheckDevices last looked
    DeviceSlot videoSlot_;
    DeviceSlot audioSlot_;
    std::vector<DeviceEvent> pendingEvents_;  // from a start, told by the next check
};
