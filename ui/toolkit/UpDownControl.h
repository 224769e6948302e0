#pragma once
// An up-down control: two arrows beside a field that step a position of
// their own within a range. The position is not the field's text; the owner
// decides what a step does to the field. Before every step the owner may
// change or refuse the proposed change, as the Server setup dialog does to
// keep its numbers within bounds.

#include <QWidget>
#include <functional>

class QToolButton;

class UpDownControl : public QWidget {
    Q_OBJECT

  public:
    explicit UpDownControl(QWidget* parent = nullptr);

    void SetRange(int low, int high);
    int Low() const { return low_; }
    int High() const { return high_; }
    void SetPosition(int position);  // kept within the range
    int Position() const { return position_; }

    // Called before a step with the current position and the proposed
    // change, which it may alter; false refuses the step.
    using DeltaHandler = std::function<bool(int position, int& delta)>;
    void SetDeltaHandler(DeltaHandler handler) { deltaHandler_ = std::move(handler); }

    // What a click does: +1 for the up arrow, -1 for the down arrow. The
    // result stays within the range.
    void Step(int delta);

    QToolButton* UpArrow() const { return up_; }
    QToolButton* DownArrow() const { return down_; }

  signals:
    void PositionChanged(int position);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    QToolButton* up_;
    QToolButton* down_;
    int low_ = 0;
    int high_ = 100;
    int position_ = 0;
    DeltaHandler deltaHandler_;
};
