#pragma once
// The capture devices' settings pages, opened from the Server setup dialog:
// a slider for each control of the device (a camera's picture controls, a
// microphone's volume) and the camera's list of capture formats. Each page
// works on the capture library's current device and applies a change at
// once, to the running preview; closing a page, with OK or Cancel, keeps what
// was applied. The settings stay with the device while the program runs.

#include <QDialog>
#include <string>
#include <vector>

#include "capture/Devices.h"
#include "platform/RefPtr.h"

class CapLib;
class QListWidget;
class QSlider;

// A slider with its value for every control the device offers.
class DeviceControlsPage : public QDialog {
    Q_OBJECT

  public:
    DeviceControlsPage(RefPtr<capture::CaptureFilter> filter, const QString& title,
                       QWidget* parent = nullptr);

    // The slider of a control by the device's name for it; null if none.
    QSlider* Slider(const std::string& name) const;

  private:
    RefPtr<capture::CaptureFilter> filter_;
    std::vector<std::pair<std::string, QSlider*>> sliders_;
};

// The camera's capture formats: size, frame rate and pixel format. Choosing
// one puts the camera on it (the preview restarts in the new format).
class VideoFormatPage : public QDialog {
    Q_OBJECT

  public:
    explicit VideoFormatPage(CapLib& capture, QWidget* parent = nullptr);

    QListWidget* List() const { return list_; }

    // How a format is listed: "1280 x 720, 30 fps, YUY2".
    static QString FormatText(const capture::MediaType& format);

  private:
    void OnChoose(int row);

    CapLib& capture_;
    std::vector<capture::MediaType> formats_;
    QListWidget* list_;
    int shown_ = -1;  // the row of the format the camera is on
};

// The pages of the capture library's current devices, run modally over
// owner; nothing without the device. The video device's own settings (its
// picture controls), the camera's capture format, and the microphone's
// settings (its volume).
void ShowVideoSourceDialog(CapLib& capture, QWidget* owner);
void ShowVideoFormatDialog(CapLib& capture, QWidget* owner);
void ShowAudioSourceDialog(CapLib& capture, QWidget* owner);
