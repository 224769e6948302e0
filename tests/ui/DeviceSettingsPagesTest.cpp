// The device settings pages opened from the Server setup dialog, on the
// test camera and microphone with the preview running: what a change does to
// the preview, to the next broadcast (read back by ffprobe) and to the meter,
// and that closing a page keeps what was applied.

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <thread>

#include "DialogTestSupport.h"
#include "app/BroadcastSession.h"
#include "tests/support/SilentView.h"
#include "tests/support/Sockets.h"
#include "ui/DeviceSettingsPages.h"
#include "ui/OutputSetupDlg.h"
#include "ui/OutputSetupIds.h"

namespace {

using namespace outputsetup;
using dialogtest::WhenModal;
using testsupport::WaitFor;

using testsupport::FreeTcpPort;
using testsupport::RunWhilePumping;
using testsupport::SilentView;

class PagesTest : public dialogtest::DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        Capture().wantPreview = true;
        session_ = std::make_unique<BroadcastSession>(&Capture(), &view_);
        session_->SetMeterWidth(98);
        g_settings.asfPort = FreeTcpPort();
    }
    void TearDown() override {
        session_->StopBroadcast();
        session_.reset();
        DialogTest::TearDown();
    }

    // The mean brightness of the lower half of the latest preview frame
    // (below the caption), 0 to 255; -1 before a frame.
    double PreviewBrightness() {
        std::vector<std::uint8_t> bits;
        int width = 0, height = 0;
        if (!view_.surface.LastFrame(&bits, &width, &height)) return -1;
        double sum = 0;
        const int stride = capture::DibStride(width);
        for (int y = 0; y < height / 2; ++y) {  // rows are bottom-up
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* p = bits.data() + y * stride + x * 3;
                sum += (p[0] * 114 + p[1] * 587 + p[2] * 299) / 1000.0;
            }
        }
        return sum / (width * (height / 2));
    }

    int PreviewWidth() {
        std::vector<std::uint8_t> bits;
        int width = 0, height = 0;
        return view_.surface.LastFrame(&bits, &width, &height) ? width : 0;
    }

    // The loudest meter column over the next eight buffers of sound (each
    // buffer gives the meter new columns).
    int MeterPeak() {
        int peak = 0, buffers = 0;
        std::vector<std::int16_t> last;
        EXPECT_TRUE(WaitFor([&] {
            const std::vector<std::int16_t> columns = session_->MeterColumns();
            if (columns == last) return false;
            last = columns;
            ++buffers;
            for (std::int16_t column : columns)
                peak = std::max(peak, std::abs(static_cast<int>(column)));
            return buffers >= 8;
        })) << "the meter moved "
            << buffers << " times";
        return peak;
    }

    // The Server setup dialog opened as the main window opens it.
    std::unique_ptr<OutputSetupDlg> OpenSetup() {
        auto dialog = std::make_unique<OutputSetupDlg>(&Capture(), &view_.surface);
        dialog->show();
        return dialog;
    }

    SilentView view_;
    std::unique_ptr<BroadcastSession> session_;
};

// The "Format" button opens the camera's own controls; brightness changes
// the preview at once, and Cancel keeps the change.
TEST_F(PagesTest, BrightnessChangesThePreviewAndCancelKeepsIt) {
    g_settings.videoDeviceIndex = 0;
    session_->ConfigureCapture(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(WaitFor([&] { return PreviewBrightness() >= 0; }));
    const double before = PreviewBrightness();
    auto dialog = OpenSetup();

    bool paged = false;
    WhenModal<DeviceControlsPage>([&](DeviceControlsPage* page) {
        paged = true;
        for (const char* control : {"BRIGHTNESS", "CONTRAST", "HUE", "SATURATION"})
            EXPECT_NE(page->Slider(control), nullptr) << control;
        QSlider* brightness = page->Slider("BRIGHTNESS");
        ASSERT_NE(brightness, nullptr);
        brightness->setValue(brightness->maximum() / 2);
        EXPECT_TRUE(WaitFor([&] { return PreviewBrightness() > before + 40; }))
            << before << " -> " << PreviewBrightness();
        page->reject();
    });
    dialog->Controls().Get<QPushButton>(kVideoFormatButton)->click();
    EXPECT_TRUE(paged);
    const auto frames = view_.surface.FrameCount();
    ASSERT_TRUE(WaitFor([&] { return view_.surface.FrameCount() > frames + 3; }));
    EXPECT_GT(PreviewBrightness(), before + 40);  // Cancel did not undo it

    // The page shows the value the camera now has.
    WhenModal<DeviceControlsPage>([&](DeviceControlsPage* page) {
        QSlider* brightness = page->Slider("BRIGHTNESS");
        ASSERT_NE(brightness, nullptr);
        EXPECT_EQ(brightness->value(), brightness->maximum() / 2);
        page->accept();
    });
    dialog->Controls().Get<QPushButton>(kVideoFormatButton)->click();
    EXPECT_EQ(boxes_.Count(), 0u);
}

// The video "Source" button opens the capture formats; choosing 1280x720
// puts the preview on it at once, and the next broadcast streams it.
TEST_F(PagesTest, ChosenFormatReachesThePreviewAndTheNextBroadcast) {
    g_settings.videoDeviceIndex = 0;
    g_settings.videoBitrateKbps = 1000;
    session_->ConfigureCapture(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(WaitFor([&] { return PreviewWidth() == 320; }));
    auto dialog = OpenSetup();

    WhenModal<VideoFormatPage>([&](VideoFormatPage* page) {
        QListWidget* list = page->List();
        ASSERT_EQ(list->count(), 3);
        EXPECT_EQ(list->item(0)->text(), "320 x 240, 30 fps, YUY2");
        EXPECT_EQ(list->item(1)->text(), "640 x 480, 30 fps, YUY2");
        EXPECT_EQ(list->item(2)->text(), "1280 x 720, 30 fps, YUY2");
        EXPECT_EQ(list->currentRow(), 0);
        list->setCurrentRow(2);
        EXPECT_TRUE(WaitFor([&] { return PreviewWidth() == 1280; }));
        page->accept();
    });
    dialog->Controls().Get<QPushButton>(kVideoSourceButton)->click();
    EXPECT_EQ(PreviewWidth(), 1280);
    dialog->accept();
    ASSERT_EQ(dialog->result(), QDialog::Accepted);

    // What the main window does after OK.
    session_->ConfigureCapture(BroadcastSettingsFrom(g_settings));
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning());
    // ffprobe runs while the event loop goes on: the frame timer of a broadcast
    // runs on it.
    std::string size;
    RunWhilePumping(
        "timeout 60 ffprobe -v error -select_streams v:0 -show_entries stream=width,height "
        "-of csv=p=0 http://127.0.0.1:" +
            std::to_string(g_settings.asfPort) + "/MyFile.wma 2>&1",
        &size);
    EXPECT_EQ(size, "1280,720\n");
    EXPECT_EQ(boxes_.Count(), 0u);
}

// The audio "Source" button opens the microphone's volume; a lower volume
// shows in the meter of the next broadcast.
TEST_F(PagesTest, MicrophoneVolumeChangesTheMeter) {
    g_settings.audioDeviceIndex = 0;
    // The settings' format: the first codec's 44.1 kHz stereo entry, as a
    // user picks it.
    {
        auto dialog = OpenSetup();
        QComboBox* formats = dialog->Controls().Get<QComboBox>(kAudioFormatList);
        const int entry = formats->findText("44.1 kHz, stereo", Qt::MatchContains);
        ASSERT_GE(entry, 0);
        formats->setCurrentIndex(entry);
        dialog->accept();
    }
    session_->ConfigureCapture(BroadcastSettingsFrom(g_settings));
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning());
    const int loud = MeterPeak();
    EXPECT_GT(loud, 5000);
    session_->StopBroadcast();

    auto dialog = OpenSetup();
    WhenModal<DeviceControlsPage>([&](DeviceControlsPage* page) {
        QSlider* volume = page->Slider("Volume");
        ASSERT_NE(volume, nullptr);
        EXPECT_EQ(volume->value(), 100);
        EXPECT_EQ(volume->maximum(), 100);
        volume->setValue(10);
        page->accept();
    });
    dialog->Controls().Get<QPushButton>(kAudioSourceButton)->click();
    dialog->accept();

    session_->ConfigureCapture(BroadcastSettingsFrom(g_settings));
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning());
    const int quiet = MeterPeak();
    EXPECT_GT(quiet, loud / 20);  // still the tone, not silence
    EXPECT_LT(quiet, loud / 5);
    EXPECT_EQ(boxes_.Count(), 0u);
}

// A camera without picture controls (the JPEG camera) gets a page that says
// so, as does a page without a device.
TEST_F(PagesTest, ADeviceWithoutControlsSaysSo) {
    capture::TestDevice camera = capture::DefaultTestDevices()[0];
    camera.compressed = true;
    capture::SetTestDevices({camera});
    std::vector<RefPtr<capture::Moniker>> monikers;
    ASSERT_EQ(capture::CreateClassEnumerator(capture::DeviceCategory::VideoInput, &monikers), S_OK);
    RefPtr<capture::CaptureFilter> filter;
    ASSERT_EQ(monikers.back()->BindToObject(&filter), S_OK);
    for (const RefPtr<capture::CaptureFilter>& device :
         {filter, RefPtr<capture::CaptureFilter>()}) {
        DeviceControlsPage page(device, "Video source");
        EXPECT_EQ(page.Slider("BRIGHTNESS"), nullptr);
        bool said = false;
        for (QLabel* label : page.findChildren<QLabel*>())
            said = said || label->text() == "This device has no settings to change.";
        EXPECT_TRUE(said);
    }
}

}  // namespace
