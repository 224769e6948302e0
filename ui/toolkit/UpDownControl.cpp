#include "ui/toolkit/UpDownControl.h"

#include <QToolButton>
#include <algorithm>

UpDownControl::UpDownControl(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    for (QToolButton* arrow : {up_, down_}) {
        arrow->setArrowType(arrow == up_ ? Qt::UpArrow : Qt::DownArrow);
        arrow->setAutoRepeat(true);
        arrow->setFocusPolicy(Qt::NoFocus);
    }
    connect(up_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
    setFocusPolicy(Qt::NoFocus);
}

void UpDownControl::SetRange(int low, int high) {
    low_ = std::min(low, high);
    high_ = std::max(low, high);
    position_ = std::clamp(position_, low_, high_);
}

void UpDownControl::SetPosition(int position) {
    position_ = std::clamp(position, low_, high_);
}

void UpDownControl::Step(int delta) {
    if (deltaHandler_ && !deltaHandler_(position_, delta)) return;
    const int next = std::clamp(position_ + delta, low_, high_);
    if (next == position_) return;
    position_ = next;
    emit PositionChanged(position_);
}

void UpDownControl::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
}
