#include "app/PreviewWidget.h"

#include <QImage>
#include <QPainter>
#include <cstring>

#include "capture/MediaTypes.h"

PreviewWidget::PreviewWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PreviewWidget::resizeEvent(QResizeEvent*) {
    targetWidth_ = width();
    targetHeight_ = height();
}

void PreviewWidget::ShowFrame(const std::uint8_t* bits, int width, int height) {
    if (!bits || width <= 0 || height <= 0) return;
    Scale(bits, width, height, &scaling_);
    if (scaling_.width <= 0) return;
    {
        std::lock_guard lock(mutex_);
        std::swap(incoming_, scaling_);
        fresh_ = true;
    }
    RequestPaint();
}

void PreviewWidget::Scale(const std::uint8_t* bits, int width, int height, Picture* into) {
    const int targetWidth = targetWidth_;
    const int targetHeight = targetHeight_;
    if (targetWidth <= 0 || targetHeight <= 0) {
        into->width = into->height = 0;
        return;
    }
    // Shrinking to half or less, a target pixel takes the mean of the 2 x 2
    // source pixels at its centre; otherwise the nearest source pixel.
    const bool pairColumns = width >= 2 * targetWidth;
    const bool pairRows = height >= 2 * targetHeight;
    if (columnsForWidth_ != width ||
        sourceColumns_.size() != static_cast<std::size_t>(targetWidth)) {
        sourceColumns_.resize(static_cast<std::size_t>(targetWidth));
        for (int x = 0; x < targetWidth; ++x) {
            int column = static_cast<int>((2LL * x + 1) * width / (2LL * targetWidth));
            if (pairColumns) column = std::min(column, width - 2);
            sourceColumns_[static_cast<std::size_t>(x)] = column * 3;
        }
        columnsForWidth_ = width;
    }
    into->pixels.resize(static_cast<std::size_t>(targetWidth) *
                        static_cast<std::size_t>(targetHeight));
    into->width = targetWidth;
    into->height = targetHeight;
    const int stride = capture::DibStride(width);
    const int next = pairColumns ? 3 : 0;
    for (int y = 0; y < targetHeight; ++y) {
        int row = static_cast<int>((2LL * y + 1) * height / (2LL * targetHeight));
        if (pairRows) row = std::min(row, height - 2);
        // The frame's rows are stored bottom-up.
        const std::uint8_t* first = bits + static_cast<std::size_t>(height - 1 - row) * stride;
        const std::uint8_t* second = pairRows ? first - stride : first;
        std::uint32_t* out = into->pixels.data() + static_cast<std::size_t>(y) * targetWidth;
        for (int x = 0; x < targetWidth; ++x) {
            const int at = sourceColumns_[static_cast<std::size_t>(x)];
            const std::uint8_t* a = first + at;
            const std::uint8_t* b = second + at;
            const unsigned blue = (a[0] + a[next] + b[0] + b[next] + 2) / 4;
            const unsigned green = (a[1] + a[next + 1] + b[1] + b[next + 1] + 2) / 4;
            const unsigned red = (a[2] + a[next + 2] + b[2] + b[next + 2] + 2) / 4;
            out[x] = 0xFF000000u | red << 16 | green << 8 | blue;
        }
    }
}

void PreviewWidget::Clear() {
    {
        std::lock_guard lock(mutex_);
        fresh_ = false;
    }
    // The painting thread owns shown_; it is emptied there.
    QMetaObject::invokeMethod(
        this,
        [this] {
            shown_.width = shown_.height = 0;
            update();
        },
        Qt::QueuedConnection);
}

void PreviewWidget::RequestPaint() {
    // One pending paint at most: later frames only replace the incoming one.
    if (paintPending_.exchange(true)) return;
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void PreviewWidget::paintEvent(QPaintEvent*) {
    paintPending_ = false;
    {
        std::lock_guard lock(mutex_);
        if (fresh_) {
            std::swap(shown_, incoming_);
            fresh_ = false;
            ++painted_;
        }
    }
    QPainter painter(this);
    if (shown_.width <= 0 || shown_.height <= 0) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    const QImage image(reinterpret_cast<const uchar*>(shown_.pixels.data()), shown_.width,
                       shown_.height, shown_.width * 4, QImage::Format_RGB32);
    if (shown_.width == width() && shown_.height == height()) {
        painter.drawImage(0, 0, image);
    } else {
        // Scaled for another size just before a resize: stretched this once.
        painter.drawImage(rect(), image);
    }
}
