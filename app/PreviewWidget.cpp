#include "app/PreviewWidget.h"

#include <QImage>
#include <QPainter>
#include <cstring>

#include "platform/capture/MediaTypes.h"

PreviewWidget::PreviewWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PreviewWidget::ShowFrame(const std::uint8_t* bits, int width, int height) {
    if (!bits || width <= 0 || height <= 0) return;
    const std::size_t length =
        static_cast<std::size_t>(DibStride(width)) * static_cast<std::size_t>(height);
    {
        std::lock_guard lock(mutex_);
        // assign() keeps the vector's capacity, so frames of one size reuse it.
        incoming_.bits.assign(bits, bits + length);
        incoming_.width = width;
        incoming_.height = height;
        fresh_ = true;
    }
    RequestPaint();
}

void PreviewWidget::Clear() {
    {
        std::lock_guard lock(mutex_);
        fresh_ = false;
        incoming_.width = incoming_.height = 0;
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
    // The frame's rows are stored bottom-up: draw it mirrored, over its own bytes.
    const QImage image(shown_.bits.data(), shown_.width, shown_.height, DibStride(shown_.width),
                       QImage::Format_BGR888);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.translate(0, height());
    painter.scale(1.0, -1.0);
    painter.drawImage(QRect(0, 0, width(), height()), image);
}
