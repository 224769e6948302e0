#include "app/BroadcastSession.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "app/IndexPage.h"
#include "app/Meter.h"
#include "app/PortProblem.h"
#include "diag/ErrorTrail.h"
#include "diag/TrailLines.h"
#include "media/CapLib.h"
#include "media/Caption.h"
#include "platform/Clock.h"
#include "platform/HandOffTrace.h"
#include "platform/MessageBox.h"
#include "settings/AppSettings.h"

namespace {

// A failed step of the start sequence: "hresult failed" with its value.
void Trail(HRESULT hr, TrailLine line) {
    RecordEntry("hresult failed", line, false).SetValue(hr);
}

// The 16-bit PCM format of an audio codec format (the first 16 bytes of its
// WAVEFORMATEX are what the session reads).
struct WaveFormat {
    std::uint16_t formatTag;
    std::uint16_t channels;
    std::uint32_t samplesPerSec;
    std::uint32_t avgBytesPerSec;
    std::uint16_t blockAlign;
    std::uint16_t bitsPerSample;
    std::uint16_t extraSize;
    std::uint16_t extra;
};
static_assert(sizeof(WaveFormat) == 20);

}  // namespace

CaptionChoice CaptionChoiceFrom(const AppSettings& settings) {
    // The record's text need not end within its field when the file came
    // from elsewhere.
    const std::size_t length = strnlen(settings.captionText, sizeof settings.captionText - 1);
    return {settings.captionDateTime != 0, std::string(settings.captionText, length)};
}

BroadcastSettings BroadcastSettingsFrom(const AppSettings& settings) {
    BroadcastSettings broadcast;
    broadcast.videoDeviceIndex = settings.videoDeviceIndex;
    broadcast.audioDeviceIndex = settings.audioDeviceIndex;
    broadcast.audioCaptureFormatIndex = settings.audioCaptureFormatIndex;
    broadcast.videoCodecIndex = settings.videoCodecIndex;
    broadcast.videoBitrateKbps = settings.videoBitrateKbps;
    broadcast.videoFramesPerSecond = settings.videoFramesPerSecond;
    broadcast.videoQuality = settings.videoQuality;
    broadcast.audioCodecIndex = settings.audioCodecIndex;
    broadcast.audioFormatIndex = settings.audioFormatIndex;
    broadcast.asfPort = settings.asfPort;
    broadcast.maxUsers = settings.maxUsers;
    broadcast.caption = CaptionChoiceFrom(settings);
    return broadcast;
}

BroadcastSettings BroadcastSettingsWithRelay(const AppSettings& settings) {
    BroadcastSettings broadcast = BroadcastSettingsFrom(settings);
    RelayConfig config;
    std::string error;
    const RelayConfigLoad loaded = LoadRelayConfig(RelayConfigPath(), &config, &error);
    if (loaded == RelayConfigLoad::kDamaged || loaded == RelayConfigLoad::kUnreadable)
        broadcast.relayProblem = error;
    broadcast.relay = config.Settings();
    return broadcast;
}

BroadcastSession::BroadcastSession(CapLib* capture, SessionView* view)
    : m_pCapture(capture), view_(view) {
    frameTimer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&frameTimer_, &QTimer::timeout, [this] {
        // The picture holds while no frame came for a period and a half.
        if (FramePacer::Clock::now() - lastFrameWritten_ >=
            frameTimer_.interval() * 3 / 2 * std::chrono::milliseconds(1))
            OnFrameTimer();
    });
    // A frame due is written on this thread; one still waiting when the
    // session goes is dropped with the timer.
    QObject::connect(
        &frameDue_, &FrameDueSignal::FrameDue, &frameTimer_,
        [this] {
            framePosted_ = false;
            OnFrameTimer();
        },
        Qt::QueuedConnection);
    QObject::connect(&statusTimer_, &QTimer::timeout, [this] { OnStatusTimer(); });
    QObject::connect(&deviceTimer_, &QTimer::timeout, [this] { OnDeviceTimer(); });
}

BroadcastSession::~BroadcastSession() {
    // The capture library outlives the session: nothing may call into it
    // once it is gone.
    if (callbacksInstalled_) {
        m_pCapture->SetFrameCallback(nullptr);
        m_pCapture->SetAudioCallback(nullptr);
    }
}

unsigned BroadcastSession::FrameTimerPeriodMs(int framesPerSecond) {
    return 1000u / static_cast<unsigned>(std::max(framesPerSecond, 1));
}

int BroadcastSession::FrameTimerPeriod() const {
    return m_nFrameTimer == -1 ? -1 : frameTimer_.interval();
}

std::uint32_t BroadcastSession::AudioInputNumber() const {
    return hasVideoStream_ ? 1 : 0;
}

std::int64_t BroadcastSession::SampleTimeNow() const {
    // Unsigned 32-bit difference: right across the clock's wrap-around.
    const std::uint32_t elapsed = timeGetTime() - static_cast<std::uint32_t>(m_startTime);
    return static_cast<std::int64_t>(elapsed) * 10000;
}

void BroadcastSession::SetMeterWidth(int width) {
    std::lock_guard guard(meterLock_);
    m_meterWidth = std::max(width, 0);
    m_meterSamples.assign(static_cast<std::size_t>(m_meterWidth), 0);
}

std::vector<std::int16_t> BroadcastSession::MeterColumns() const {
    std::lock_guard guard(meterLock_);
    return m_meterSamples;
}

void BroadcastSession::CopyMeterColumns(std::vector<std::int16_t>* columns) const {
    std::lock_guard guard(meterLock_);
    columns->assign(m_meterSamples.begin(), m_meterSamples.end());
}

void BroadcastSession::ConfigureCapture(const BroadcastSettings& settings) {
    settings_ = settings;
    caption_.SetCaption(settings.caption);
    m_pCapture->wantPreview = true;
    m_pCapture->SelectDevices(settings.videoDeviceIndex, settings.audioDeviceIndex,
                              view_->PreviewWindow(), settings.audioCaptureFormatIndex);
    {
        std::lock_guard guard(meterLock_);
        std::fill(m_meterSamples.begin(), m_meterSamples.end(), 0);
    }
    m_pCapture->StartPreview();
    m_pCapture->SetFrameCallback(&frameTap_);
    callbacksInstalled_ = true;
    deviceTimer_.start(kDeviceCheckMs);
}

void BroadcastSession::OnDeviceTimer() {
    for (const CapLib::DeviceEvent& event : m_pCapture->CheckDevices())
        view_->ShowDeviceNotice(DeviceNoticeText(event));
}

std::string BroadcastSession::DeviceNoticeText(const CapLib::DeviceEvent& event) {
    using Kind = CapLib::DeviceEvent::Kind;
    const std::string device =
        std::string(event.video ? "The camera \"" : "The microphone \"") + event.name + "\"";
    const std::string meanwhile =
        event.video ? " A \"No signal\" card takes its place." : " Silence takes its place.";
    switch (event.kind) {
        case Kind::Lost:
            return device + " was lost." + meanwhile + " It is taken up again when it comes back.";
        case Kind::Back:
            return device + " is back.";
        case Kind::Busy:
            return device + " cannot be used: another program holds it." + meanwhile;
        case Kind::RefusesFormat:
            return device + " cannot be used: it refuses the format it was set to." + meanwhile;
        case Kind::Failed:
            break;
    }
    return device + " cannot be used" + (event.detail.empty() ? "" : ": " + event.detail) + "." +
           meanwhile;
}

void BroadcastSession::StartBroadcast(const BroadcastSettings& settings) {
    if (m_bRunning) return;
    settings_ = settings;
    caption_.SetCaption(settings.caption);
    if (settings.videoDeviceIndex == -1 && settings.audioDeviceIndex == -1) {
        MessageBox("No audio/video capture devices selected.\nDo setup before staring server",
                   nullptr, MB_OK | MB_ICONINFORMATION);
        return;
    }
    // The header names only streams whose samples will come: a device that
    // could not be opened has none (a device lost later has its stand-in).
    const bool hasVideo = settings.videoDeviceIndex != -1 && m_pCapture->HasVideo();
    const bool hasAudio = settings.audioDeviceIndex != -1 && m_pCapture->HasAudio();
    hasVideoStream_ = hasVideo;
    view_->SetWaitCursor(true);
    const auto fail = [this](HRESULT hr, TrailLine line) {
        Trail(hr, line);
        CleanUpFailedStart();
    };
    if (!hasVideo && !hasAudio) return fail(0, kTrailStartPreview);

    pWriter = std::make_unique<WmWriter>();
    pProfile = std::make_unique<WmProfile>();  // an earlier broadcast's goes

    HRESULT hr = pProfile->Create();
    if (FAILED(hr)) return fail(hr, kTrailStartCreateProfile);
    hr = pWriter->Create();
    if (FAILED(hr)) return fail(hr, kTrailStartCreateWriter);
    access_ = settings.access;
    wmv::IWMViewerAccess::Gate gate;
    wmv::IWMViewerAccess::Still still;
    if (ViewerAccess* access = settings.access) {
        gate = [access](const std::string& peer, const std::string& target,
                        const std::string& head) {
            const AccessAnswer answer = access->Admit(peer, target, head);
            return answer.Admitted() ? std::string() : answer.Response();
        };
        still = [access](const std::string& target, const std::string& head) {
            return access->StillAdmitted(target, head);
        };
    }
    wmv::IWMViewerAccess::TlsContext tls;
    if (TlsContext* context = settings.tls)
        tls = [context] { return context->Current().release(); };
    tlsOn_ = settings.tls != nullptr;
    hr = pWriter->OpenNetworkSink(static_cast<std::uint32_t>(settings.asfPort),
                                  static_cast<std::uint32_t>(settings.maxUsers), std::move(gate),
                                  std::move(still), std::move(tls));
    if (FAILED(hr)) {
        fail(hr, kTrailStartNetworkSink);
        // A port is the user's own choice, so a port that cannot be had is
        // said in plain words; other failures are for the error trail.
        if (const int error = PortErrorOf(hr)) {
            MessageBox(PortProblemText(PortRole::Stream, settings.asfPort, error).c_str(),
                       "Warning", MB_OK | MB_ICONEXCLAMATION);
        }
        return;
    }

    if (hasVideo) {
        const wmv::RECT frame{0, 0, m_pCapture->GetFrameWidth(), m_pCapture->GetFrameHeight()};
        const VideoStreamParams video{static_cast<std::uint32_t>(settings.videoCodecIndex),
                                      0,
                                      static_cast<std::uint32_t>(settings.videoBitrateKbps) * 1000,
                                      &frame,
                                      &frame,
                                      settings.videoFramesPerSecond,
                                      static_cast<std::uint32_t>(settings.videoQuality),
                                      L"Camera",
                                      L"Live"};
        hr = pProfile->AddVideoStream(video);
        if (FAILED(hr)) {
            CheckResult(hr, kTrailVideoStreamStep);
            return fail(hr, kTrailStartVideoStream);
        }
    }
    if (hasAudio) {
        const auto codec = static_cast<std::uint32_t>(settings.audioCodecIndex);
        const auto format = static_cast<std::uint32_t>(settings.audioFormatIndex);
        hr = pProfile->AddAudioStream({codec, format, L"Microphone", L"Live"});
        if (FAILED(hr)) {
            CheckResult(hr, kTrailAudioStreamStep);
            return fail(hr, kTrailStartAudioStream);
        }
        WaveFormat wave{};
        hr = pProfile->GetAudioFormat(codec, format, &wave);
        if (FAILED(hr)) {
            CheckResult(hr, kTrailAudioFormatRead);
            CheckResult(hr, kTrailAudioFormatStep);
            return fail(hr, kTrailStartAudioStream);
        }
        m_nBitsPerSample = wave.bitsPerSample;
        m_nSamplesPerSec = static_cast<int>(wave.samplesPerSec);
        m_nChannels = wave.channels;
        // The writer takes 16-bit sound at the codec format's rate and
        // channel count; a stored capture format of another shape (a file
        // from elsewhere, a device whose formats changed) is converted to it.
        WAVEFORMATEX pcm{};
        pcm.wFormatTag = WAVE_FORMAT_PCM;
        pcm.nChannels = wave.channels;
        pcm.nSamplesPerSec = wave.samplesPerSec;
        pcm.wBitsPerSample = 16;
        pcm.nBlockAlign = static_cast<std::uint16_t>(wave.channels * 2);
        pcm.nAvgBytesPerSec = pcm.nBlockAlign * pcm.nSamplesPerSec;
        m_pCapture->SetAudioDeliveryFormat(&pcm);
    }

    hr = pWriter->SetProfile(pProfile.get());
    if (FAILED(hr)) return fail(hr, kTrailStartSetProfile);
    hr = pWriter->BeginWriting();
    if (FAILED(hr)) return fail(hr, kTrailStartBeginWriting);

    if (hasVideo) {
        // Without a frame yet, the frame timer allocates the sample later.
        const int length = m_pCapture->GetFrameLength();
        if (length != 0) {
            hr = AllocateVideoSample(static_cast<std::uint32_t>(length), kTrailVideoSampleAllocate,
                                     kTrailVideoSampleBuffer);
            if (FAILED(hr)) return fail(hr, kTrailStartVideoSample);
        }
    }
    if (hasAudio) {
        RefPtr<wmv::INSSBuffer> sample;
        hr = pWriter->AllocateSample(kAudioSampleBytes, sample.Put());
        if (FAILED(hr)) {
            CheckResult(hr, kTrailAudioSampleAllocate);
            return fail(hr, kTrailStartAudioSample);
        }
        std::uint8_t* buffer = nullptr;
        hr = sample->GetBuffer(&buffer);
        if (FAILED(hr)) {
            CheckResult(hr, kTrailAudioSampleBuffer);
            return fail(hr, kTrailStartAudioSample);
        }
        {
            std::lock_guard guard(audioLock_);
            m_pAudioSample = std::move(sample);
            m_pAudioBuffer = buffer;
            m_audioTime = 0;
        }
        m_pCapture->SetAudioCallback(this);
        callbacksInstalled_ = true;
    }

    if (m_pCapture->StartPreview() == 0) {
        Trail(0, kTrailStartPreview);
        return CleanUpFailedStart();
    }

    m_pCapture->SetFrameCallback(&frameTap_);
    callbacksInstalled_ = true;
    statusTimer_.start(1000);
    m_nStatusTimer = kStatusTimerId;
    if (hasVideo) {
        frameTimer_.start(static_cast<int>(FrameTimerPeriodMs(settings.videoFramesPerSecond)));
        m_nFrameTimer = kFrameTimerId;
        {
            std::lock_guard guard(pacerMutex_);
            pacer_ = FramePacer(settings.videoFramesPerSecond);
        }
        pacing_ = true;
    }
    StartSharedEncode(settings, hasVideo, hasAudio);
    StartRelay(settings);
    m_startTime = timeGetTime();
    audioClockRunning_ = true;
    m_bRunning = true;
    view_->EnableStartButton(false);
    view_->EnableStopButton(true);

    char url[WmWriter::kConnectionUrlSize] = {};
    pWriter->GetConnectionUrl(url);
    streamUrl_ = url;
    // Over TLS every address viewers are given is an https:// one.
    streamUrl6_ = pWriter->Ipv6ConnectionUrl();
    for (std::string* address : {&streamUrl_, &streamUrl6_})
        if (tlsOn_ && address->rfind("http://", 0) == 0) address->insert(4, "s");
    // The relay's HLS address goes to viewers only while it is published.
    const bool relayed = settings.relayProblem.empty() && settings.relay.publish &&
                         RelayUrlProblem(settings.relay.url).empty();
    pageHls_ = relayed ? settings.relay.hls : std::string();
    ShowViewerLink();
    view_->SetWaitCursor(false);
}

void BroadcastSession::ShowViewerLink() {
    // The page carries the link's token to the stream port whenever the rule
    // asks for anything, and the window shows the whole link to hand out
    // while it is the link that lets viewers in.
    const AccessSettings access = access_ ? access_->Settings() : AccessSettings();
    const std::string invite =
        access.viewers == ViewerRule::kEveryone ? std::string() : access.token;
    // The web server serves the user's files folder, so the page goes there.
    WriteIndexPage(filesDir + "index.htm", streamUrl_, pageHls_, invite);
    const std::string handedOut = access.viewers == ViewerRule::kInvite ? invite : std::string();
    view_->SetConnectionUrl(streamUrl_, handedOut);
    view_->SetIpv6Url(streamUrl6_, handedOut);
}

void BroadcastSession::AccessChanged() {
    if (!m_bRunning || !pWriter) return;
    ShowViewerLink();
    pWriter->RecheckViewers();
}

HRESULT BroadcastSession::AllocateVideoSample(std::uint32_t length, TrailLine allocateLine,
                                              TrailLine bufferLine) {
    RefPtr<wmv::INSSBuffer> sample;
    HRESULT hr = pWriter->AllocateSample(length, sample.Put());
    if (CheckResult(hr, allocateLine)) return hr;
    std::uint8_t* buffer = nullptr;
    hr = sample->GetBuffer(&buffer);
    if (CheckResult(hr, bufferLine)) return hr;
    m_pVideoSample = std::move(sample);
    m_pVideoBuffer = buffer;
    m_videoSampleLength = length;
    return S_OK;
}

void BroadcastSession::ReleaseSamples() {
    m_pVideoSample.Reset();
    m_pVideoBuffer = nullptr;
    m_videoSampleLength = 0;
    std::lock_guard guard(audioLock_);
    m_pAudioSample.Reset();
    m_pAudioBuffer = nullptr;
}

void BroadcastSession::StartSharedEncode(const BroadcastSettings& settings, bool hasVideo,
                                         bool hasAudio) {
    codec::MediaShape shape;
    if (hasVideo) {
        shape.width = m_pCapture->GetFrameWidth();
        shape.height = m_pCapture->GetFrameHeight();
        shape.framesPerSecond = settings.videoFramesPerSecond;
        shape.videoBitRate = settings.videoBitrateKbps * 1000;
    }
    if (hasAudio) {
        shape.sampleRate = m_nSamplesPerSec;
        shape.channels = m_nChannels;
    }
    sharedEncode_ = std::make_unique<codec::SharedEncode>(shape);
    AddOutput(sharedEncode_.get());
    pWriter->SetEncodedSource(sharedEncode_.get());
}

void BroadcastSession::StopSharedEncode() {
    if (!sharedEncode_) return;
    RemoveOutput(sharedEncode_.get());
    sharedEncode_.reset();
}

void BroadcastSession::StartRelay(const BroadcastSettings& settings) {
    if (!settings.relayProblem.empty()) {
        relay::PublishStatus off;
        off.reason = settings.relayProblem;
        return ShowRelayState(off);
    }
    if (!settings.relay.publish) return ShowRelayState({});
    const std::string problem = RelayUrlProblem(settings.relay.url);
    if (!problem.empty()) {
        relay::PublishStatus off;
        off.reason = problem;
        return ShowRelayState(off);
    }
    relay::PublisherSettings publisher;
    publisher.url = settings.relay.url;
    relay_ = std::make_unique<relay::RelayPublisher>(std::move(publisher), *sharedEncode_);
    relay_->Start();
    ShowRelayState(RelayStatus());
}

void BroadcastSession::StopRelay() {
    if (!relay_) return;
    // Joined without the audio lock: the audio path never waits on the relay.
    relay_->Stop();
    relay_.reset();
    ShowRelayState({});
}

void BroadcastSession::AddOutput(codec::BroadcastOutput* output) {
    std::lock_guard guard(audioLock_);
    outputs_.push_back(output);
}

void BroadcastSession::RemoveOutput(codec::BroadcastOutput* output) {
    std::lock_guard guard(audioLock_);
    std::erase(outputs_, output);
}

relay::PublishStatus BroadcastSession::RelayStatus() const {
    return relay_ ? relay_->Status() : relay::PublishStatus{};
}

void BroadcastSession::ShowRelayState(const relay::PublishStatus& status) {
    const std::string line = relay::PublishStatusText(status);
    if (line == relayLine_) return;
    const std::string key = std::to_string(static_cast<int>(status.state)) + status.reason;
    const bool newState = key != relayStateKey_;
    relayLine_ = line;
    relayStateKey_ = key;
    view_->SetRelayState(line, newState);
}

void BroadcastSession::CleanUpFailedStart() {
    // The audio callback may already be in place; it must not outlive the sample.
    m_pCapture->SetAudioCallback(nullptr);
    audioClockRunning_ = false;
    StopRelay();
    if (pWriter) pWriter->StopWriting();
    ReleaseSamples();
    pProfile.reset();
    pWriter.reset();
    StopSharedEncode();
    view_->SetWaitCursor(false);
}

void BroadcastSession::StopBroadcast() {
    if (!m_bRunning) return;
    view_->SetWaitCursor(true);
    pacing_ = false;
    m_pCapture->StopPreview();
    m_pCapture->SetFrameCallback(nullptr);
    m_pCapture->SetAudioCallback(nullptr);
    audioClockRunning_ = false;
    StopRelay();

    if (!pWriter) RecordEntry("pWriter", kTrailStopWriter, true).SetValue(0);
    if (!pProfile) RecordEntry("pProfile", kTrailStopProfile, true).SetValue(0);

    frameTimer_.stop();
    statusTimer_.stop();
    m_nFrameTimer = -1;
    m_nStatusTimer = -1;

    if (pWriter) pWriter->StopWriting();
    ReleaseSamples();
    pWriter.reset();
    pProfile.reset();
    StopSharedEncode();

    m_bRunning = false;
    view_->EnableStartButton(true);
    view_->EnableStopButton(false);
    view_->SetUserCount("0");
    view_->SetConnectionUrl("", "");
    view_->SetIpv6Url("", "");
    view_->SetWaitCursor(false);
}

void BroadcastSession::OnFrameTimer() {
    if (m_bRunning && pWriter) {
        const int length = m_pCapture->GetFrameLength();
        const bool haveSample =
            m_pVideoSample ||
            (length != 0 && SUCCEEDED(AllocateVideoSample(static_cast<std::uint32_t>(length),
                                                          kTrailLateVideoSampleAllocate,
                                                          kTrailLateVideoSampleBuffer)));
        if (haveSample) {
            std::uint8_t* frame = m_pCapture->LockFrame();
            // A frame of another length than the sample (the format changed
            // under a running broadcast) is skipped, never copied past it.
            if (length != 0 && frame && static_cast<std::uint32_t>(length) == m_videoSampleLength) {
                std::memcpy(m_pVideoBuffer, frame, m_videoSampleLength);
                m_pVideoSample->SetLength(m_videoSampleLength);
                m_videoTime = SampleTimeNow();
                if (handoff::Enabled()) {
                    const std::int64_t key = m_videoTime / 10000;
                    handoff::MarkAt("tapped", key, lastTapUs_.load(std::memory_order_relaxed));
                    handoff::Mark("written", key);
                }
                pWriter->Writer()->WriteSample(0, static_cast<std::uint64_t>(m_videoTime), 0,
                                               m_pVideoSample.Get());
                // Taken from the sample, not the frame: the outputs get what
                // the writer got. outputs_ changes only on this thread.
                for (codec::BroadcastOutput* output : outputs_)
                    output->PushVideo(m_pVideoBuffer, m_videoSampleLength, m_videoTime);
                lastFrameWritten_ = FramePacer::Clock::now();
            }
            m_pCapture->UnlockFrame();
        }
    }
    AfterTimer();
}

void BroadcastSession::FrameTap::OnFrame(FrameDC* dc) {
    session_.caption_.OnFrame(dc);
    if (handoff::Enabled()) session_.lastTapUs_.store(handoff::NowUs(), std::memory_order_relaxed);
    if (!session_.pacing_) return;
    {
        std::lock_guard guard(session_.pacerMutex_);
        if (!session_.pacer_.Take(FramePacer::Clock::now())) return;
    }
    // One write waits at a time: a busy user-interface thread takes the
    // latest frame when it comes to it.
    if (session_.framePosted_.exchange(true)) return;
    emit session_.frameDue_.FrameDue();
}

void BroadcastSession::OnStatusTimer() {
    if (pWriter) view_->SetUserCount(std::to_string(pWriter->GetClientCount()));
    if (relay_) ShowRelayState(relay_->Status());
    g_settings.meterScale = static_cast<std::int16_t>(view_->MeterScalePosition());
    AfterTimer();
}

void BroadcastSession::AfterTimer() {
    if (m_bHidePending) {
        m_bHidePending = false;
        view_->HideWindow();
    }
}

void BroadcastSession::OnAudioChunk(const std::uint8_t* data, std::int32_t length) {
    if (!data || length <= 0) return;
    {
        std::lock_guard guard(meterLock_);
        ComputeMeterColumns(reinterpret_cast<const std::int16_t*>(data),
                            static_cast<std::size_t>(length), m_nChannels, m_meterSamples.data(),
                            m_meterWidth);
    }
    // With no lock held: the meter's painting takes the meter lock to copy
    // the columns.
    view_->InvalidateMeter();

    // The sample stays locked while it is filled and written, so that the
    // stop sequence cannot release it under the write. WriteSample only
    // copies into the writer's pool and never waits (a full pool drops the
    // sample), so whoever waits for this lock waits for one copy at most.
    std::lock_guard guard(audioLock_);
    if (!audioClockRunning_ || !m_pAudioBuffer || !pWriter || !pWriter->Writer()) return;

    // A buffer larger than the sample goes out in pieces, each stamped with
    // the time its first byte was captured relative to the whole buffer.
    const std::int64_t now = SampleTimeNow();
    const std::int64_t bytesPerSecond =
        static_cast<std::int64_t>(m_nSamplesPerSec) * std::max(m_nChannels, 1) * 2;
    const std::uint32_t input = AudioInputNumber();
    for (std::int32_t done = 0; done < length;) {
        const auto piece =
            std::min<std::uint32_t>(static_cast<std::uint32_t>(length - done), kAudioSampleBytes);
        std::memcpy(m_pAudioBuffer, data + done, piece);
        m_pAudioSample->SetLength(piece);
        m_audioTime = now + (bytesPerSecond > 0 ? done * 10000000LL / bytesPerSecond : 0);
        pWriter->Writer()->WriteSample(input, static_cast<std::uint64_t>(m_audioTime), 0,
                                       m_pAudioSample.Get());
        done += static_cast<std::int32_t>(piece);
    }
    for (codec::BroadcastOutput* output : outputs_)
        output->PushAudio(data, static_cast<std::size_t>(length), now);
}
