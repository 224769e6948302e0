#include "ui/OutputSetupDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <cstring>

#include "diag/ErrorTrail.h"
#include "diag/TrailLines.h"
#include "media/CapLib.h"
#include "media/WmProfile.h"
#include "platform/MessageBox.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "ui/DeviceSettingsPages.h"
#include "ui/Help.h"
#include "ui/Templates.h"
#include "ui/toolkit/UpDownControl.h"

using namespace outputsetup;

namespace {

// One of the six numbers: its field, its spin (0: none) and its bounds.
struct NumberField {
    int fieldId;
    int spinId;
    std::uint32_t low;
    std::uint32_t high;
};

enum NumberIndex : int { kMaxUsers, kBitrate, kFramesPerSecond, kQuality, kAsfPort, kHttpPort };

constexpr int kNumberCount = 6;

constexpr const char kPositiveIntegerMessage[] = "Please enter a positive integer.";
constexpr const char kRangeMessage[] = "Please enter an integer between %1 and %2.";

// Codec names are read into buffers of this many wide characters.
constexpr std::uint32_t kCodecNameLength = 256;

// A failed runtime call of the dialog is an assertion of "hr" with its code;
// the dump is rewritten after every such call, failed or not.
void AfterRuntimeCall(HRESULT hr, TrailLine line) {
    if (FAILED(hr)) RecordAssertion("hr", line, hr);
    WriteErrorDump();
}

// The unsigned decimal number at the start of a field's text (blanks before
// it skipped, at most 63 characters looked at); false when there is none. A
// number too large for 32 bits reads as the largest one, which no bound
// takes.
bool ReadLeadingNumber(const QString& text, std::uint32_t* value) {
    const QByteArray bytes = text.toLocal8Bit().left(63);
    qsizetype at = 0;
    while (at < bytes.size() && (bytes[at] == ' ' || bytes[at] == '\t')) ++at;
    if (at == bytes.size() || bytes[at] < '0' || bytes[at] > '9') return false;
    std::uint64_t number = 0;
    for (; at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9'; ++at) {
        number = std::min<std::uint64_t>(number * 10 + static_cast<unsigned>(bytes[at] - '0'),
                                         0xFFFFFFFFu);
    }
    *value = static_cast<std::uint32_t>(number);
    return true;
}

// The sampling rate in kHz as a person writes it: 44.1, 8, 11.025.
QString KiloHertz(std::uint32_t samplesPerSec) {
    QString text = QString::number(samplesPerSec / 1000u);
    std::uint32_t fraction = samplesPerSec % 1000u;
    if (fraction != 0) {
        QString digits = QStringLiteral("%1").arg(fraction, 3, 10, QLatin1Char('0'));
        while (digits.endsWith(QLatin1Char('0'))) digits.chop(1);
        text += QLatin1Char('.') + digits;
    }
    return text;
}

// The wave format record at the start of a codec format's 20 bytes.
WAVEFORMATEX WaveOf(const std::uint8_t (&bytes)[20]) {
    WAVEFORMATEX wave;
    std::memcpy(&wave, bytes, sizeof wave);
    return wave;
}

const NumberField* Fields() {
    static const NumberField fields[kNumberCount] = {
        {kMaxUsersField, kMaxUsersSpin, static_cast<std::uint32_t>(kMaxUsersRange.low),
         static_cast<std::uint32_t>(kMaxUsersRange.high)},
        {kBitrateField, kBitrateSpin, static_cast<std::uint32_t>(kVideoBitrateRange.low),
         static_cast<std::uint32_t>(kVideoBitrateRange.high)},
        {kFramesPerSecondField, kFramesPerSecondSpin,
         static_cast<std::uint32_t>(kFramesPerSecondRange.low),
         static_cast<std::uint32_t>(kFramesPerSecondRange.high)},
        {kQualityField, kQualitySpin, static_cast<std::uint32_t>(kVideoQualityRange.low),
         static_cast<std::uint32_t>(kVideoQualityRange.high)},
        {kAsfPortField, 0, static_cast<std::uint32_t>(kAsfPortRange.low),
         static_cast<std::uint32_t>(kAsfPortRange.high)},
        {kHttpPortField, 0, static_cast<std::uint32_t>(kHttpPortRange.low),
         static_cast<std::uint32_t>(kHttpPortRange.high)},
    };
    return fields;
}

// The arrow cursor comes back however the filling ends.
class WaitCursor {
  public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

OutputSetupDlg::OutputSetupDlg(CapLib* capture, capture::PreviewSurface* preview, QWidget* parent)
    : QDialog(parent), capture_(capture), preview_(preview), profile_(new WmProfile) {
    AfterRuntimeCall(profile_->Create(), kTrailSetupCreateProfile);

    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    controls_ = BuildDialog(this, *FindDialogTemplate(kServerSetupDialogId));
    videoDevices_ = controls_.Get<QComboBox>(kVideoDeviceList);
    audioDevices_ = controls_.Get<QComboBox>(kAudioDeviceList);
    videoCodecs_ = controls_.Get<QComboBox>(kVideoCodecList);
    audioCodecs_ = controls_.Get<QComboBox>(kAudioCodecList);
    audioFormats_ = controls_.Get<QComboBox>(kAudioFormatList);

    // The lists answer the user's choices only, not the filling.
    connect(audioCodecs_, &QComboBox::activated, this, [this] { FillAudioFormatList(); });
    connect(audioDevices_, &QComboBox::activated, this, [this](int index) {
        if (index > 0) FillAudioFormatList();
    });
    for (int i = 0; i < kNumberCount; ++i) {
        if (auto* spin = controls_.Get<UpDownControl>(Fields()[i].spinId)) {
            spin->SetDeltaHandler(
                [this, i](int position, int& delta) { return OnSpinDelta(i, position, delta); });
        }
    }
    for (int button : {kVideoFormatButton, kVideoSourceButton, kAudioSourceButton}) {
        connect(controls_.Get<QPushButton>(button), &QPushButton::clicked, this,
                [this, button] { OnDeviceSettings(button); });
    }
    connect(controls_.Get<QPushButton>(kHelpButton), &QPushButton::clicked, this,
            [] { ShowHelpTopic("using.htm"); });
    connect(controls_.Get<QPushButton>(IDOK), &QPushButton::clicked, this, &OutputSetupDlg::accept);
    connect(controls_.Get<QPushButton>(IDCANCEL), &QPushButton::clicked, this,
            &OutputSetupDlg::reject);
}

OutputSetupDlg::~OutputSetupDlg() = default;

void OutputSetupDlg::setVisible(bool visible) {
    if (visible && !initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::setVisible(visible);
}

// ---- filling --------------------------------------------------------------

void OutputSetupDlg::AddDeviceNames(QComboBox* list, const char* none, bool video) {
    list->clear();
    list->addItem(QString::fromLatin1(none));
    const int count =
        capture_ ? (video ? capture_->GetVideoDeviceCount() : capture_->GetAudioDeviceCount()) : 0;
    for (int i = 0; i < count; ++i) {
        const char* name =
            video ? capture_->GetVideoDeviceName(i) : capture_->GetAudioDeviceName(i);
        list->addItem(QString::fromLocal8Bit(name));
    }
}

namespace {

// An index into the old device list, moved to where its device is now (-1:
// gone); an index that named no device stays.
void FollowDevice(std::int32_t& index, const std::vector<int>& moved) {
    if (index >= 0 && static_cast<std::size_t>(index) < moved.size())
        index = moved[static_cast<std::size_t>(index)];
}

}  // namespace

void OutputSetupDlg::RefreshDeviceLists() {
    const auto moved = capture_ ? capture_->RefreshDevices() : std::nullopt;
    if (!moved) return;
    FollowDevice(g_settings.videoDeviceIndex, moved->video);
    FollowDevice(g_settings.audioDeviceIndex, moved->audio);
    std::int32_t video = videoDevices_->currentIndex() - 1;
    std::int32_t audio = audioDevices_->currentIndex() - 1;
    FollowDevice(video, moved->video);
    FollowDevice(audio, moved->audio);
    // The format list stays: the device it lists for is the same, or gone
    // (and "No audio" keeps the list).
    AddDeviceNames(videoDevices_, "No video", true);
    AddDeviceNames(audioDevices_, "No audio", false);
    videoDevices_->setCurrentIndex(video + 1);
    audioDevices_->setCurrentIndex(audio + 1);
}

void OutputSetupDlg::FillDeviceList(QComboBox* list, const char* none, bool video) {
    AddDeviceNames(list, none, video);
    const int count = list->count() - 1;
    // A device that has gone (unplugged since the settings were saved) falls
    // back to none at once.
    std::int32_t& index = video ? g_settings.videoDeviceIndex : g_settings.audioDeviceIndex;
    if (index != -1 && !IndexInRange(index, static_cast<std::size_t>(count))) index = -1;
    list->setCurrentIndex(index + 1);
}

void OutputSetupDlg::FillCodecList(QComboBox* list, bool video) {
    list->clear();
    std::uint32_t count = 0;
    const HRESULT hr =
        video ? profile_->GetVideoCodecCount(&count) : profile_->GetAudioCodecCount(&count);
    AfterRuntimeCall(hr, video ? kTrailSetupVideoCodecCount : kTrailSetupAudioCodecCount);
    if (FAILED(hr)) count = 0;
    // One entry per codec, named or not, so that a position is a codec index.
    for (std::uint32_t codec = 0; codec < count; ++codec) {
        wchar_t name[kCodecNameLength] = {};
        std::uint32_t length = kCodecNameLength;
        const HRESULT named = video ? profile_->GetVideoCodecName(codec, name, &length)
                                    : profile_->GetAudioCodecName(codec, name, &length);
        AfterRuntimeCall(named, video ? kTrailSetupVideoCodecName : kTrailSetupAudioCodecName);
        name[kCodecNameLength - 1] = L'\0';
        list->addItem(SUCCEEDED(named) ? QString::fromWCharArray(name) : QString());
    }
    const std::int32_t selected = video ? g_settings.videoCodecIndex : g_settings.audioCodecIndex;
    list->setCurrentIndex(IndexInRange(selected, count) ? selected : -1);
}

void OutputSetupDlg::OnInitDialog() {
    // Devices plugged in or out since the lists were made show as they are;
    // the settings' indices follow their devices.
    if (const auto moved = capture_ ? capture_->RefreshDevices() : std::nullopt) {
        FollowDevice(g_settings.videoDeviceIndex, moved->video);
        FollowDevice(g_settings.audioDeviceIndex, moved->audio);
    }
    connect(&devicesTimer_, &QTimer::timeout, this, [this] { RefreshDeviceLists(); });
    devicesTimer_.start(500);
    FillDeviceList(videoDevices_, "No video", true);
    FillDeviceList(audioDevices_, "No audio", false);
    FillCodecList(videoCodecs_, true);
    FillCodecList(audioCodecs_, false);
    FillAudioFormatList();

    const std::int32_t settings[kNumberCount] = {
        g_settings.maxUsers,     g_settings.videoBitrateKbps, g_settings.videoFramesPerSecond,
        g_settings.videoQuality, g_settings.asfPort,          g_settings.httpPort};
    for (int i = 0; i < kNumberCount; ++i) {
        numbers_[i] = static_cast<std::uint32_t>(settings[i]);
        if (auto* spin = controls_.Get<UpDownControl>(Fields()[i].spinId)) {
            spin->SetRange(static_cast<int>(Fields()[i].low), static_cast<int>(Fields()[i].high));
            spin->SetPosition(static_cast<int>(settings[i] & 0xFFFF));
        }
    }
    ShowNumbers();
    move(g_settings.setupDialogLeft, g_settings.setupDialogTop);
}

QString OutputSetupDlg::AudioFormatText(std::uint32_t avgBytesPerSec, std::uint32_t samplesPerSec,
                                        std::uint16_t channels) {
    const std::uint32_t kbps = avgBytesPerSec * 8u / 1000u;
    return QString::asprintf("%3d kbps, %6s kHz, %s", static_cast<int>(kbps),
                             KiloHertz(samplesPerSec).toLatin1().constData(),
                             channels == 1 ? "mono" : "stereo");
}

void OutputSetupDlg::FillAudioFormatList() {
    if (audioCodecs_->currentIndex() < 0 || audioDevices_->currentIndex() <= 0) return;
    audioFormats_->clear();
    WaitCursor wait;

    std::unique_ptr<WAVEFORMATEX[]> captureFormats;
    const int captureCount = capture_ ? capture_->GetAudioCaptureFormats(
                                            audioDevices_->currentIndex() - 1, &captureFormats)
                                      : 0;
    if (captureCount <= 0) return;

    const auto codec = static_cast<std::uint32_t>(audioCodecs_->currentIndex());
    std::uint32_t codecCount = 0;
    const HRESULT counted = profile_->GetAudioFormatCount(codec, &codecCount);
    AfterRuntimeCall(counted, kTrailSetupAudioFormatCount);
    if (FAILED(counted)) codecCount = 0;

    int remembered = -1;
    for (int d = 0; d < captureCount; ++d) {
        const WAVEFORMATEX& device = captureFormats[d];
        if (device.wBitsPerSample != 16) continue;
        for (std::uint32_t i = 0; i < codecCount; ++i) {
            std::uint8_t bytes[20] = {};
            const HRESULT read = profile_->GetAudioFormat(codec, i, bytes);
            AfterRuntimeCall(read, kTrailSetupAudioFormat);
            if (FAILED(read)) continue;
            const WAVEFORMATEX wave = WaveOf(bytes);
            if (wave.nChannels != device.nChannels ||
                wave.nSamplesPerSec != device.nSamplesPerSec ||
                wave.wBitsPerSample != device.wBitsPerSample)
                continue;
            const std::uint32_t data = static_cast<std::uint32_t>(d) * 65536u + i;
            audioFormats_->addItem(
                AudioFormatText(wave.nAvgBytesPerSec, wave.nSamplesPerSec, wave.nChannels),
                QVariant::fromValue(data));
            if (d == g_settings.audioCaptureFormatIndex &&
                static_cast<std::int64_t>(i) == g_settings.audioFormatIndex)
                remembered = audioFormats_->count() - 1;
        }
    }
    audioFormats_->setCurrentIndex(remembered >= 0 ? remembered
                                                   : (audioFormats_->count() ? 0 : -1));
}

// ---- numbers --------------------------------------------------------------

bool OutputSetupDlg::ReadNumbers() {
    std::uint32_t read[kNumberCount] = {};
    bool passed[kNumberCount] = {};
    int failed = -1;
    const auto fail = [&](int i, const QString& message) {
        failed = i;
        MessageBox(message.toLocal8Bit().constData(), kSettingsMessageCaption,
                   MB_OK | MB_ICONEXCLAMATION);
        auto* field = controls_.Get<QLineEdit>(Fields()[i].fieldId);
        field->setFocus(Qt::OtherFocusReason);
        field->selectAll();
        return false;
    };
    const auto readField = [&](int i) {
        const QString text = controls_.Get<QLineEdit>(Fields()[i].fieldId)->text();
        return ReadLeadingNumber(text, &read[i]) ||
               fail(i, QString::fromLatin1(kPositiveIntegerMessage));
    };
    const auto checkField = [&](int i) {
        if (read[i] < Fields()[i].low || read[i] > Fields()[i].high) {
            return fail(
                i, QString::fromLatin1(kRangeMessage).arg(Fields()[i].low).arg(Fields()[i].high));
        }
        passed[i] = true;
        return true;
    };
    // Maximum users and bit rate are both read before either is checked.
    readField(kMaxUsers) && readField(kBitrate) && checkField(kMaxUsers) && checkField(kBitrate) &&
        readField(kFramesPerSecond) && checkField(kFramesPerSecond) && readField(kQuality) &&
        checkField(kQuality) && readField(kAsfPort) && checkField(kAsfPort) &&
        readField(kHttpPort) && checkField(kHttpPort);
    for (int i = 0; i < kNumberCount; ++i) {
        if (passed[i]) numbers_[i] = read[i];
    }
    return failed == -1;
}

void OutputSetupDlg::ShowNumbers() {
    for (int i = 0; i < kNumberCount; ++i)
        controls_.Get<QLineEdit>(Fields()[i].fieldId)->setText(QString::number(numbers_[i]));
}

bool OutputSetupDlg::OnSpinDelta(int field, int position, int& delta) {
    ReadNumbers();  // a failure has shown its message; the step goes on
    const int maximum = static_cast<int>(Fields()[field].high);
    if (position + delta > maximum) delta = maximum - position;
    if (position + delta <= 0) delta = 1 - position;
    numbers_[field] = static_cast<std::uint32_t>(position + delta);
    ShowNumbers();
    return true;
}

// ---- buttons --------------------------------------------------------------

std::uint32_t OutputSetupDlg::SelectedFormatItemData() const {
    const int selected = audioFormats_->currentIndex();
    // Without a selection the item data reads as all ones.
    return selected < 0 ? 0xFFFFFFFFu : audioFormats_->itemData(selected).toUInt();
}

void OutputSetupDlg::OnDeviceSettings(int button) {
    const bool audio = button == kAudioSourceButton;
    const int shown = (audio ? audioDevices_ : videoDevices_)->currentIndex();
    if (!capture_ || shown <= 0) return;
    const int videoIndex = audio ? capture_->GetSelectedVideoIndex() : shown - 1;
    const int audioIndex = audio ? shown - 1 : capture_->GetSelectedAudioIndex();
    const int formatIndex = static_cast<int>(SelectedFormatItemData() >> 16);
    // The pages are those of the device the dialog shows, so the preview
    // moves to it first (nothing happens when it already runs there).
    capture_->SelectDevices(videoIndex, audioIndex, preview_, formatIndex);
    switch (button) {
        case kVideoFormatButton:
            ShowVideoSourceDialog(*capture_, this);
            break;
        case kVideoSourceButton:
            ShowVideoFormatDialog(*capture_, this);
            break;
        default:
            ShowAudioSourceDialog(*capture_, this);
            break;
    }
    capture_->SelectDevices(videoIndex, audioIndex, preview_, formatIndex);
}

void OutputSetupDlg::accept() {
    if (!ReadNumbers()) return;
    g_settings.videoBitrateKbps = static_cast<std::int32_t>(numbers_[kBitrate]);
    g_settings.videoQuality = static_cast<std::int32_t>(numbers_[kQuality]);
    g_settings.videoFramesPerSecond = static_cast<std::int32_t>(numbers_[kFramesPerSecond]);
    g_settings.maxUsers = static_cast<std::int32_t>(numbers_[kMaxUsers]);
    g_settings.videoCodecIndex = videoCodecs_->currentIndex();
    g_settings.audioCodecIndex = audioCodecs_->currentIndex();
    const std::uint32_t format = SelectedFormatItemData();
    g_settings.audioFormatIndex = static_cast<std::int32_t>(format & 0xFFFFu);
    g_settings.audioCaptureFormatIndex = static_cast<std::int32_t>(format >> 16);
    g_settings.asfPort = static_cast<std::int32_t>(numbers_[kAsfPort]);
    g_settings.httpPort = static_cast<std::int32_t>(numbers_[kHttpPort]);
    g_settings.videoDeviceIndex = std::max(videoDevices_->currentIndex(), 0) - 1;
    g_settings.audioDeviceIndex = std::max(audioDevices_->currentIndex(), 0) - 1;
    g_settings.setupDialogLeft = pos().x();
    g_settings.setupDialogTop = pos().y();
    QDialog::accept();
}

void OutputSetupDlg::reject() {
    g_settings.setupDialogLeft = pos().x();
    g_settings.setupDialogTop = pos().y();
    QDialog::reject();
}
