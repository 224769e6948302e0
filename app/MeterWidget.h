#pragma once
// The audio meter (the owner-drawn control): one vertical line per pixel
// column around the middle, from the session's meter columns, scaled by the
// meter scale setting, and a green centre line.

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <vector>

class BroadcastSession;

class MeterWidget : public QWidget {
    Q_OBJECT

  public:
    explicit MeterWidget(QWidget* parent = nullptr);

    // The session whose columns are drawn; none draws the centre line only.
    void SetSession(const BroadcastSession* session) { session_ = session; }

    // Any thread, never blocking: repaint soon. Invalidations that arrive
    // before the repaint ran are folded into it.
    void Invalidate();

    static constexpr QRgb kColumnColour = 0xFF707000;  // RGB(112, 112, 0)
    static constexpr QRgb kCentreColour = 0xFF50F050;  // RGB(80, 240, 80)

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const BroadcastSession* session_ = nullptr;
    std::vector<std::int16_t> columns_;
    std::atomic<bool> paintPending_{false};
};

// Draws the meter into painter over rect (left, top, right and bottom
// exclusive, as the window gives it): black, a line per column i from
// (left + i, mid - h) towards (left + i, mid + h) with h = column * mid /
// meterScale kept to 16 bits, the end point left out as a line is drawn, and
// the centre line from (left, mid) to (right, mid).
void DrawMeter(QPainter& painter, const QRect& rect, const std::vector<std::int16_t>& columns,
               int meterScale);
