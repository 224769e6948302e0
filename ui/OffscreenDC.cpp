#include "ui/OffscreenDC.h"

#include <QPaintDevice>
#include <QPainter>

OffscreenDC::OffscreenDC(QPainter& target, const QRect& clip) : target_(target), clip_(clip) {
    QPaintDevice* device = target.device();
    const bool direct = !device || device->devType() == QInternal::Printer ||
                        device->devType() == QInternal::Picture || clip.isEmpty();
    if (direct) return;
    const qreal ratio = device->devicePixelRatioF();
    picture_ = QPixmap((QSizeF(clip.size()) * ratio).toSize());
    picture_.setDevicePixelRatio(ratio);
    picture_.fill(Qt::transparent);
    buffered_ = std::make_unique<QPainter>(&picture_);
    buffered_->translate(-clip.topLeft());
    buffered_->setFont(target.font());
    buffered_->setRenderHints(target.renderHints());
}

OffscreenDC::~OffscreenDC() {
    if (!buffered_) return;
    buffered_->end();
    buffered_.reset();
    target_.drawPixmap(clip_.topLeft(), picture_);
}
