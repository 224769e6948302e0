#pragma once
// The broadcast session: the start and stop sequences that join the capture
// library to the stream writer, the frame and status timers, the audio path
// with its meter, the connection URL and the viewers' page. The main window
// owns one and binds to it through SessionView; the headless program does the
// same with a view that only prints the URL.

#include <QTimer>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/FramePacer.h"
#include "codec/BroadcastOutput.h"
#include "diag/TrailLines.h"
#include "media/CapLib.h"
#include "media/Caption.h"
#include "media/SoundCaptureFilter.h"
#include "media/WmProfile.h"
#include "media/WmWriter.h"
#include "relay/RelayPublisher.h"
#include "settings/RelayConfig.h"
#include "web/TlsContext.h"
#include "web/ViewerAccess.h"

struct AppSettings;
namespace capture {
class PreviewSurface;
}

// What a broadcast does to the window it runs in.
//
// Every call but InvalidateMeter comes on the user-interface thread, from the
// session's commands (ConfigureCapture, StartBroadcast, StopBroadcast) and
// its timers. No call is made while the session holds a lock of its own, so
// a view may call back into the session from any of them (from
// InvalidateMeter only into what may be read from any thread: the meter
// columns).
class SessionView {
  public:
    virtual ~SessionView() = default;
    // Start and stop sequences: the Start and Stop commands' states.
    virtual void EnableStartButton(bool enabled) = 0;
    virtual void EnableStopButton(bool enabled) = 0;
    // Status timer and stop sequence: the number of viewers, as text.
    virtual void SetUserCount(const std::string& text) = 0;
    // Start and stop sequences: the stream's address, or "" when stopped;
    // invite: the token of the link to hand out while only the invited may
    // watch, else "".
    virtual void SetConnectionUrl(const std::string& url, const std::string& invite) = 0;
    // The same at the machine's global IPv6 address, offered beside it; ""
    // when stopped or when the machine has none.
    virtual void SetIpv6Url(const std::string& url, const std::string& invite) = 0;
    // The meter columns changed. Called on the audio streaming thread, once
    // per captured buffer, with no lock held; the columns are already in
    // place. It must return quickly and must not wait for the user-interface
    // thread, which may itself be waiting for this thread to stop (the stop
    // sequence stops the capture): schedule the repaint and return.
    virtual void InvalidateMeter() = 0;
    // Around the start and stop sequences; calls come in pairs.
    virtual void SetWaitCursor(bool waiting) = 0;
    // After a timer tick, once m_bHidePending was set.
    virtual void HideWindow() = 0;
    // Status timer: the meter scale the user has set (100 to 32767).
    virtual int MeterScalePosition() = 0;
    // ConfigureCapture: where the capture preview is shown.
    virtual capture::PreviewSurface* PreviewWindow() = 0;
    // The device check's timer: a chosen camera or microphone was lost, came
    // back or cannot be used; the text names it and says what happens
    // meanwhile. Shown without waiting for the user: the capture and a
    // broadcast go on.
    virtual void ShowDeviceNotice(const std::string& text) = 0;
    // Start and stop sequences and the status timer: the relay's one-line
    // state ("publishing", "reconnecting in N s: reason", "off" ...), each
    // time it reads otherwise. newState is false when only the count of
    // seconds moved on.
    virtual void SetRelayState(const std::string& line, bool newState) {
        (void)line;
        (void)newState;
    }
};

// What the capture and a broadcast take from the settings: a copy made on
// the user-interface thread when they start, so that nothing the session
// runs, on any thread, reads the settings record.
struct BroadcastSettings {
    int videoDeviceIndex = -1;  // -1: none
    int audioDeviceIndex = -1;  // -1: none
    int audioCaptureFormatIndex = 0;
    int videoCodecIndex = 0;
    int videoBitrateKbps = 0;
    int videoFramesPerSecond = 0;
    int videoQuality = 0;
    int audioCodecIndex = 0;
    int audioFormatIndex = 0;
    int asfPort = 0;
    int maxUsers = 0;
    CaptionChoice caption;
    // From relay.cfg (see BroadcastSettingsWithRelay); relayProblem says why
    // the file could not be used, and then nothing is published.
    RelaySettings relay;
    std::string relayProblem;
    // Who may watch: the program's one rule, which the web server asks too
    // (null: everyone). It outlives the session.
    ViewerAccess* access = nullptr;
    // HTTPS on both ports (null: plain HTTP), the program's; it outlives the
    // session.
    TlsContext* tls = nullptr;
};

BroadcastSettings BroadcastSettingsFrom(const AppSettings& settings);
// The same with the relay's settings read from relay.cfg beside the
// configuration; a damaged file leaves the relay off with its reason.
BroadcastSettings BroadcastSettingsWithRelay(const AppSettings& settings);
CaptionChoice CaptionChoiceFrom(const AppSettings& settings);

// Tells the user-interface thread, from the video streaming thread, that a
// frame is due to be written: the signal goes through a queued connection
// that the user-interface thread made, so nothing crosses the threads but
// the signal itself.
class FrameDueSignal final : public QObject {
    Q_OBJECT
  signals:
    void FrameDue();
};

// The session is the capture library's audio callback while it broadcasts,
// and its caption overlay the frame callback once the capture is configured;
// both are removed before the session goes.
class BroadcastSession final : public AudioChunkCallback {
  public:
    // capture and view outlive the session.
    BroadcastSession(CapLib* capture, SessionView* view);
    ~BroadcastSession();
    BroadcastSession(const BroadcastSession&) = delete;
    BroadcastSession& operator=(const BroadcastSession&) = delete;

    // Applies the device choices and the caption to the capture library and
    // restarts its preview with the caption.
    void ConfigureCapture(const BroadcastSettings& settings);
    // Starts a broadcast on these settings; the devices are those that the
    // capture was last configured with.
    void StartBroadcast(const BroadcastSettings& settings);
    void StopBroadcast();
    // A new caption, from the next frame on (the Options dialog's OK).
    void SetCaption(CaptionChoice caption) { caption_.SetCaption(std::move(caption)); }
    // The access rule changed (the Viewer access dialog's OK): the page and
    // the connection URL carry the new link, and viewers the rule no longer
    // lets in are disconnected.
    void AccessChanged();

    // Timer work, on the user-interface thread (the timers call these).
    // OnFrameTimer writes the latest frame; while the camera delivers, each
    // frame due calls it as soon as it is captured, and the frame timer only
    // holds the picture when frames stop coming.
    void OnFrameTimer();
    void OnStatusTimer();
    // Twice a second once the capture is configured: what became of the
    // chosen devices, told to the view.
    void OnDeviceTimer();
    // What the user is told of a device event.
    static std::string DeviceNoticeText(const CapLib::DeviceEvent& event);
    // One captured PCM buffer, on the audio streaming thread: the meter
    // columns, then the view's InvalidateMeter, then the writer.
    void OnAudioChunk(const std::uint8_t* data, std::int32_t length) override;

    // The meter's width in pixel columns; the columns start flat. The
    // columns may be read from any thread.
    void SetMeterWidth(int width);
    std::vector<std::int16_t> MeterColumns() const;
    // The same into a vector the caller keeps, so painting allocates nothing.
    void CopyMeterColumns(std::vector<std::int16_t>* columns) const;

    bool IsRunning() const { return m_bRunning; }
    // The relay publisher's state; off when none runs.
    relay::PublishStatus RelayStatus() const;
    CapLib* CaptureLibrary() const { return m_pCapture; }
    bool HasVideoSample() const { return static_cast<bool>(m_pVideoSample); }
    int FrameTimerPeriod() const;  // ms while the frame timer runs, else -1
    // The writer input that audio goes to: 1 behind a video stream, else 0.
    std::uint32_t AudioInputNumber() const;

    static unsigned FrameTimerPeriodMs(int framesPerSecond);
    static constexpr std::uint32_t kAudioSampleBytes = 500000;
    static constexpr int kFrameTimerId = 1;
    static constexpr int kStatusTimerId = 2;
    static constexpr int kDeviceCheckMs = 500;

    // Hide the window at the next timer tick (the window sets it).
    bool m_bHidePending = false;

  private:
    void CleanUpFailedStart();
    void StartRelay(const BroadcastSettings& settings);
    void StopRelay();
    void ShowRelayState(const relay::PublishStatus& status);
    void ReleaseSamples();
    void AfterTimer();
    std::int64_t SampleTimeNow() const;
    HRESULT AllocateVideoSample(std::uint32_t length, TrailLine allocateLine, TrailLine bufferLine);

    CapLib* m_pCapture;
    SessionView* view_;
    // The settings of the running broadcast, or of the last one.
    BroadcastSettings settings_;
    // Whether the running broadcast carries pictures: a camera is chosen and
    // the capture has it (or its stand-in).
    bool hasVideoStream_ = false;
    CaptionOverlay caption_;
    // The frame callback: draws the caption, then while a broadcast with
    // pictures runs, has each frame due written at once (on the
    // user-interface thread, which the streaming thread does not wait for).
    class FrameTap final : public FrameCallback {
      public:
        explicit FrameTap(BroadcastSession& session) : session_(session) {}
        void OnFrame(FrameDC* dc) override;

      private:
        BroadcastSession& session_;
    };
    FrameTap frameTap_{*this};
    FrameDueSignal frameDue_;
    std::atomic<bool> pacing_{false};         // frames due are written as they come
    std::atomic<bool> framePosted_{false};    // a write waits on the user-interface thread
    std::atomic<std::int64_t> lastTapUs_{0};  // when the latest frame left the tap, when traced
    std::mutex pacerMutex_;
    FramePacer pacer_;                                  // under pacerMutex_
    FramePacer::Clock::time_point lastFrameWritten_{};  // user-interface thread
    bool callbacksInstalled_ = false;

    std::unique_ptr<WmWriter> pWriter;
    std::unique_ptr<WmProfile> pProfile;
    RefPtr<wmv::INSSBuffer> m_pVideoSample;
    std::uint8_t* m_pVideoBuffer = nullptr;
    std::uint32_t m_videoSampleLength = 0;
    RefPtr<wmv::INSSBuffer> m_pAudioSample;
    std::uint8_t* m_pAudioBuffer = nullptr;
    bool m_bRunning = false;
    std::int64_t m_audioTime = 0;
    std::int64_t m_videoTime = 0;
    std::int64_t m_startTime = 0;
    int m_nFrameTimer = -1;
    int m_nStatusTimer = -1;
    int m_nChannels = 0;
    int m_nBitsPerSample = 0;
    int m_nSamplesPerSec = 0;
    int m_meterWidth = 0;
    std::vector<std::int16_t> m_meterSamples;

    // Audio is written only once the broadcast's clock runs: buffers that
    // arrive between installing the callback and setting m_startTime would
    // be stamped against an earlier broadcast's start.
    std::atomic<bool> audioClockRunning_{false};

    QTimer frameTimer_;
    QTimer statusTimer_;
    QTimer deviceTimer_;
    // Guards m_meterWidth and m_meterSamples: the audio path fills the
    // columns, the meter's painting copies them.
    mutable std::mutex meterLock_;
    // Held by the audio path while it uses the audio sample, and by whoever
    // releases it, so a late buffer never lands in a released sample. Taken
    // under the audio tap's callback lock, never the other way round.
    std::mutex audioLock_;

    // Everything fed the samples the writer gets besides the writer. Changed
    // on the user-interface thread under audioLock_, which the audio path
    // holds while it feeds them; the pictures go out on that thread.
    std::vector<codec::BroadcastOutput*> outputs_;
    void AddOutput(codec::BroadcastOutput* output);
    void RemoveOutput(codec::BroadcastOutput* output);
    // While broadcasting: the shared H.264 and AAC encode, one of the
    // outputs, in which the relay publisher and the fragmented MP4 viewers
    // take part; it goes after the writer, whose sink takes part in it.
    std::unique_ptr<codec::SharedEncode> sharedEncode_;
    void StartSharedEncode(const BroadcastSettings& settings, bool hasVideo, bool hasAudio);
    void StopSharedEncode();
    // While publishing: the relay publisher.
    std::unique_ptr<relay::RelayPublisher> relay_;
    std::string relayLine_;
    std::string relayStateKey_;
    // Writes the page and shows the connection URL for the rule in force.
    void ShowViewerLink();
    // What the page was last written with, while broadcasting.
    ViewerAccess* access_ = nullptr;
    bool tlsOn_ = false;
    std::string streamUrl_;
    std::string streamUrl6_;  // at the global IPv6 address, or ""
    std::string pageHls_;
};
