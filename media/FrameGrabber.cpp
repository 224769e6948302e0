#include "media/FrameGrabber.h"

#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <cstring>

namespace {

void DrawNoSignal(FrameDC* dc) {
    if (!dc || !QGuiApplication::instance()) return;
    QImage& image = dc->Image();
    if (image.isNull()) return;
    QPainter painter(&image);
    dc->Orient(painter);
    QFont font = QGuiApplication::font();
    font.setPixelSize(std::max(image.height() / 8, 8));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("No signal"));
}

}  // namespace

FrameDC::FrameDC(std::uint8_t* bits, int width, int height)
    : image_(bits, width, height, capture::DibStride(width), QImage::Format_BGR888) {}

void FrameDC::Orient(QPainter& painter) const {
    painter.translate(0, image_.height());
    painter.scale(1, -1);
}

FrameGrabberCallback::FrameGrabberCallback(int width, int height,
                                           RefPtr<capture::SampleGrabber> grabber)
    : width_(width), height_(height), grabber_(std::move(grabber)) {}

FrameGrabberCallback::~FrameGrabberCallback() {
    // A frame arriving now returns at once; one in progress may finish.
    frameLocked_ = true;
    frameReady_.Wait(1000);
    std::lock_guard lock(frameMutex_);
    ReleaseDib();
}

void FrameGrabberCallback::ReleaseDib() {
    dc_.reset();
    pixels_.reset();
}

HRESULT FrameGrabberCallback::SampleCB(double, capture::MediaSample*) {
    return S_OK;
}

HRESULT FrameGrabberCallback::BufferCB(double, std::uint8_t* buffer, long length) {
    if (frameLocked_) return S_FALSE;
    std::lock_guard lock(frameMutex_);
    if (frameLocked_) return S_FALSE;
    if (!buffer || length <= 0) return E_POINTER;
    frameReady_.Reset();
    // A new format: take the size the grabber is passing now, so that the
    // picture and the buffer agree (a new length alone may not tell it).
    int w = 0, h = 0;
    const bool resized = grabber_ && grabber_->GetCurrentFrameSize(&w, &h) &&
                         (w != width_ || h != height_) &&
                         static_cast<long>(capture::DibStride(w)) * h == length;
    if (length != frameLength_ || resized) {
        frameLength_ = static_cast<int>(length);
        ReleaseDib();
        if (resized) {
            width_ = w;
            height_ = h;
        }
    }
    const int width = width_, height = height_;
    const long dibLength = static_cast<long>(capture::DibStride(width)) * height;
    if (!pixels_) {
        // Room for the whole frame even when its size is not known, so a
        // frame is never cut or overrun.
        pixels_.reset(new std::uint8_t[static_cast<std::size_t>(std::max(length, dibLength))]());
        if (width > 0 && height > 0 && dibLength <= length)
            dc_ = std::make_unique<FrameDC>(pixels_.get(), width, height);
    }
    std::memcpy(pixels_.get(), buffer, static_cast<std::size_t>(length));
    frameReady_.Set();
    if (noSignal_) DrawNoSignal(dc_.get());
    if (callback_) callback_->OnFrame(dc_.get());
    std::memcpy(buffer, pixels_.get(), static_cast<std::size_t>(length));
    return S_OK;
}

void FrameGrabberCallback::SetFrameCallback(FrameCallback* callback) {
    std::lock_guard lock(frameMutex_);
    callback_ = callback;
}

int FrameGrabberCallback::GetFrameLength() {
    if (!frameReady_.Wait(1000)) return 0;
    return frameLength_;
}

std::uint8_t* FrameGrabberCallback::LockFrame() {
    bool ready = true;
    if (!frameLocked_) ready = frameReady_.Wait(1000);
    std::lock_guard lock(frameMutex_);
    frameLocked_ = true;
    return ready ? pixels_.get() : nullptr;
}

void FrameGrabberCallback::UnlockFrame() {
    frameLocked_ = false;
}
