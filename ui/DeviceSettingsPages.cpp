#include "ui/DeviceSettingsPages.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include "media/CapLib.h"
#include "platform/MessageBox.h"
#include "settings/ConfigFile.h"

namespace {

// Pages stand a little below and right of the window that opens them.
constexpr int kPageOffset = 30;

// A device's name for a control as a person reads it: "BRIGHTNESS" becomes
// "Brightness", "WHITE_BALANCE" "White balance".
QString ControlLabel(const std::string& name) {
    QString label = QString::fromStdString(name);
    label.replace(QLatin1Char('_'), QLatin1Char(' '));
    if (label == label.toUpper()) label = label.toLower();
    if (!label.isEmpty()) label[0] = label[0].toUpper();
    return label;
}

QDialogButtonBox* AddButtons(QDialog* page, QVBoxLayout* layout) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, page);
    // What was changed is already applied; both buttons only close the page.
    QObject::connect(buttons, &QDialogButtonBox::accepted, page, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, page, &QDialog::reject);
    layout->addWidget(buttons);
    return buttons;
}

void PlaceOver(QDialog* page, QWidget* owner) {
    page->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint);
    if (owner) page->move(owner->window()->pos() + QPoint(kPageOffset, kPageOffset));
}

// The name of a pixel format as the camera's format list shows it.
QString PixelFormatName(const capture::MediaType& format) {
    switch (format.subtype) {
        case capture::SubType::RGB24:
            return QStringLiteral("RGB24");
        case capture::SubType::YUY2:
            return QStringLiteral("YUY2");
        case capture::SubType::I420:
            return QStringLiteral("I420");
        case capture::SubType::NV12:
            return QStringLiteral("NV12");
        case capture::SubType::MJPG:
            return QStringLiteral("MJPG");
        default:
            break;
    }
    // Another raw format: its name in the device's own description.
    const QString caps = QString::fromStdString(format.caps);
    const qsizetype at = caps.indexOf(QStringLiteral("format=(string)"));
    if (at >= 0) {
        const qsizetype from = at + 15;
        qsizetype end = caps.indexOf(QLatin1Char(','), from);
        if (end < 0) end = caps.size();
        return caps.mid(from, end - from).trimmed();
    }
    return caps.section(QLatin1Char(','), 0, 0);
}

bool SameFormat(const capture::MediaType& a, const capture::MediaType& b) {
    const VIDEOINFOHEADER* x = a.VideoInfo();
    const VIDEOINFOHEADER* y = b.VideoInfo();
    return x && y && a.subtype == b.subtype && x->bmiHeader.biWidth == y->bmiHeader.biWidth &&
           x->bmiHeader.biHeight == y->bmiHeader.biHeight &&
           x->AvgTimePerFrame == y->AvgTimePerFrame &&
           (a.subtype != capture::SubType::Other || PixelFormatName(a) == PixelFormatName(b));
}

}  // namespace

// ---- controls -------------------------------------------------------------

DeviceControlsPage::DeviceControlsPage(RefPtr<capture::CaptureFilter> filter, const QString& title,
                                       QWidget* parent)
    : QDialog(parent), filter_(std::move(filter)) {
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    std::vector<capture::DeviceControl> controls;
    if (filter_) filter_->GetControls(&controls);
    if (controls.empty()) {
        layout->addWidget(new QLabel(tr("This device has no settings to change."), this));
    } else {
        auto* grid = new QGridLayout;
        int row = 0;
        for (const capture::DeviceControl& control : controls) {
            auto* slider = new QSlider(Qt::Horizontal, this);
            slider->setObjectName(QString::fromStdString(control.name));
            slider->setRange(control.minimum, control.maximum);
            slider->setValue(control.value);
            slider->setMinimumWidth(240);
            auto* value = new QLabel(QString::number(control.value), this);
            value->setMinimumWidth(
                value->fontMetrics().horizontalAdvance(QStringLiteral("-00000")));
            value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            grid->addWidget(new QLabel(ControlLabel(control.name), this), row, 0);
            grid->addWidget(slider, row, 1);
            grid->addWidget(value, row, 2);
            const std::string name = control.name;
            connect(slider, &QSlider::valueChanged, this, [this, name, value](int position) {
                value->setNum(position);
                filter_->SetControl(name, position);
            });
            sliders_.emplace_back(control.name, slider);
            ++row;
        }
        layout->addLayout(grid);
    }
    AddButtons(this, layout);
}

QSlider* DeviceControlsPage::Slider(const std::string& name) const {
    for (const auto& [known, slider] : sliders_)
        if (known == name) return slider;
    return nullptr;
}

// ---- formats --------------------------------------------------------------

QString VideoFormatPage::FormatText(const capture::MediaType& format) {
    const VIDEOINFOHEADER* info = format.VideoInfo();
    if (!info) return QString();
    QString text = QStringLiteral("%1 x %2")
                       .arg(info->bmiHeader.biWidth)
                       .arg(info->bmiHeader.biHeight < 0 ? -info->bmiHeader.biHeight
                                                         : info->bmiHeader.biHeight);
    if (info->AvgTimePerFrame > 0) {
        const double fps = 10000000.0 / static_cast<double>(info->AvgTimePerFrame);
        text += QStringLiteral(", %1 fps")
                    .arg(QString::number(fps, 'f', 2)
                             .remove(QRegularExpression(QStringLiteral("\\.?0+$"))));
    }
    return text + QStringLiteral(", ") + PixelFormatName(format);
}

VideoFormatPage::VideoFormatPage(CapLib& capture, QWidget* parent)
    : QDialog(parent),
      capture_(capture),
      formats_(capture.GetVideoFormats()),
      list_(new QListWidget(this)) {
    setWindowTitle(tr("Video format"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Output size, frame rate and pixel format:"), this));
    layout->addWidget(list_);
    const capture::CaptureFilter* camera = capture_.VideoCaptureFilter();
    for (std::size_t i = 0; i < formats_.size(); ++i) {
        list_->addItem(FormatText(formats_[i]));
        if (camera && shown_ < 0 && SameFormat(formats_[i], camera->CurrentFormat()))
            shown_ = static_cast<int>(i);
    }
    list_->setCurrentRow(shown_);
    connect(list_, &QListWidget::currentRowChanged, this, &VideoFormatPage::OnChoose);
    AddButtons(this, layout);
}

void VideoFormatPage::OnChoose(int row) {
    if (row < 0 || row == shown_ || static_cast<std::size_t>(row) >= formats_.size()) return;
    if (capture_.SetVideoFormat(formats_[static_cast<std::size_t>(row)])) {
        shown_ = row;
        return;
    }
    MessageBox("The camera cannot use this format.", kSettingsMessageCaption,
               MB_OK | MB_ICONEXCLAMATION);
    const QSignalBlocker quiet(list_);
    list_->setCurrentRow(shown_);
}

// ---- the pages of the capture library's devices ---------------------------

void ShowVideoSourceDialog(CapLib& capture, QWidget* owner) {
    RefPtr<capture::CaptureFilter> camera(capture.VideoCaptureFilter());
    if (!camera) return;
    DeviceControlsPage page(camera, QObject::tr("Video source"), owner);
    PlaceOver(&page, owner);
    page.exec();
}

void ShowVideoFormatDialog(CapLib& capture, QWidget* owner) {
    if (!capture.VideoCaptureFilter()) return;
    VideoFormatPage page(capture, owner);
    PlaceOver(&page, owner);
    page.exec();
}

void ShowAudioSourceDialog(CapLib& capture, QWidget* owner) {
    RefPtr<capture::CaptureFilter> microphone(capture.AudioCaptureFilter());
    if (!microphone) return;
    DeviceControlsPage page(microphone, QObject::tr("Audio source"), owner);
    PlaceOver(&page, owner);
    page.exec();
}
