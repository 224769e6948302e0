#pragma once
// An off-screen drawing surface for a widget's paint event: everything is
// drawn into a picture of the target's clip rectangle, in the target's own
// coordinates, and copied to the target once when the surface goes away, so
// a control never shows half of its drawing. Printers and recorded pictures
// are drawn into directly.

#include <QPixmap>
#include <QRect>
#include <memory>

class QPainter;

class OffscreenDC {
  public:
    OffscreenDC(QPainter& target, const QRect& clip);
    ~OffscreenDC();  // copies the picture to the target
    OffscreenDC(const OffscreenDC&) = delete;
    OffscreenDC& operator=(const OffscreenDC&) = delete;

    // Where to draw, in the target's coordinates.
    QPainter& Painter() { return buffered_ ? *buffered_ : target_; }

  private:
    QPainter& target_;
    QRect clip_;
    QPixmap picture_;
    std::unique_ptr<QPainter> buffered_;  // null when drawing straight into the target
};
