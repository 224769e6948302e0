#pragma once
// The Server setup dialog: the capture devices, the video codec with its bit
// rate, frame rate and quality, the audio codec and format, the viewer limit
// and both ports. It fills itself from g_settings when it opens and writes
// them back on OK; Cancel keeps only its position. Codecs and their formats
// come from an encoding profile of its own; the devices' settings pages are
// opened on the capture library the main window hands in.

#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <memory>

#include "ui/OutputSetupIds.h"
#include "ui/toolkit/DialogBuilder.h"

class CapLib;
namespace capture {
class PreviewSurface;
}
class QComboBox;
class QLineEdit;
class UpDownControl;
class WmProfile;

class OutputSetupDlg : public QDialog {
    Q_OBJECT

  public:
    // capture lists the devices and opens their settings pages (may be null:
    // no devices); preview is where the preview runs after a settings page.
    OutputSetupDlg(CapLib* capture, capture::PreviewSurface* preview, QWidget* parent = nullptr);
    ~OutputSetupDlg() override;

    // The controls by their template ids (ui/OutputSetupIds.h).
    const DialogControls& Controls() const { return controls_; }

    // Refills the audio format list with the pairs of a 16-bit capture format
    // of the chosen device and a format of the chosen codec with the same
    // rate and channel count; keeps the list as it is while no codec or no
    // device is chosen. Item data: capture format index * 65536 + codec
    // format index.
    void FillAudioFormatList();

    // OK: checks the numbers in their order and, when all pass, writes the
    // settings and closes; otherwise the failing field gets the focus.
    void accept() override;
    // Cancel: stores the dialog's position, nothing else.
    void reject() override;

    void setVisible(bool visible) override;

    // The entry text of an audio format: bit rate, sampling rate, channels.
    static QString AudioFormatText(std::uint32_t avgBytesPerSec, std::uint32_t samplesPerSec,
                                   std::uint16_t channels);

  private:
    // Fills every list and field from g_settings and moves the dialog to its
    // stored place; runs once, before the dialog is first shown.
    void OnInitDialog();
    void FillDeviceList(QComboBox* list, const char* none, bool video);
    void AddDeviceNames(QComboBox* list, const char* none, bool video);
    // Twice a second while open: when the system's devices changed (a camera
    // plugged in), both device lists are filled anew, each showing the
    // device it showed, and the indices in g_settings follow their devices.
    void RefreshDeviceLists();
    void FillCodecList(QComboBox* list, bool video);
    // Reads and checks the six numbers in the order OK checks them. A value
    // is taken only once it has passed its check; the first failure shows
    // its message, focuses its field and ends the reading. Returns whether
    // all passed.
    bool ReadNumbers();
    void ShowNumbers();
    // Before an arrow click of a spin: keeps its number within 1 and its
    // maximum, counting from the spin's own position.
    bool OnSpinDelta(int field, int position, int& delta);
    void OnDeviceSettings(int button);
    std::uint32_t SelectedFormatItemData() const;

    CapLib* capture_;
    capture::PreviewSurface* preview_;
    std::unique_ptr<WmProfile> profile_;
    DialogControls controls_;
    QComboBox* videoDevices_;
    QComboBox* audioDevices_;
    QComboBox* videoCodecs_;
    QComboBox* audioCodecs_;
    QComboBox* audioFormats_;
    // Maximum users, bit rate, frames per second, quality, ASF port, HTTP
    // port: the numbers exchanged with their fields.
    std::uint32_t numbers_[6] = {};
    bool initialised_ = false;
    QTimer devicesTimer_;
};
