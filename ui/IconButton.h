#pragma once
// The flat icon buttons of the main window's toolbar: no caption and no focus
// rectangle, flat until the mouse is over them, then a thin raised border;
// sunken while pressed, with the icon one pixel down and right; the icon
// greyed while disabled. A button lights up only while its window is the
// active window and a drag begun elsewhere does not light it.
//
// The main window makes one for each toolbar control of its template, then
// calls LoadIcons, the four Reset...Color operations and SetTip.

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <cstdint>

class IconButton : public QAbstractButton {
    Q_OBJECT

  public:
    explicit IconButton(QWidget* parent = nullptr);

    // The icons by their ids (ui/Icons.h): hotId while the button is
    // lit or pressed, normalId otherwise; normalId 0 uses the hot icon for
    // both. The icon size is the hot icon's natural size. Redraws the button.
    void LoadIcons(int hotId, int normalId = 0);
    void LoadIcons(const QIcon& hot, const QIcon& normal = QIcon());

    // Each colour back to the palette's: the backgrounds to the button face,
    // the texts to the button text. With repaint the button is redrawn. A
    // change of the palette resets all four by itself.
    void ResetHotBackColor(bool repaint = true);
    void ResetHotTextColor(bool repaint = true);
    void ResetNormalBackColor(bool repaint = true);
    void ResetNormalTextColor(bool repaint = true);

    // The tooltip's text; it shows only while activated. The text also
    // names the button for screen readers, since it has no caption.
    void SetTip(const QString& text, bool activate);

    // Whether the button is lit (the mouse over it in the active window).
    bool IsHovering() const { return hovering_; }
    QSize IconSize() const { return QSize(iconWidth_, iconHeight_); }

    QSize sizeHint() const override;

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void Light();
    void Unlight();

    bool hovering_ = false;
    QIcon iconHot_;
    QIcon iconNormal_;
    std::uint8_t iconWidth_ = 0;
    std::uint8_t iconHeight_ = 0;
    QColor hotBackColor_;
    QColor hotTextColor_;
    QColor normalBackColor_;
    QColor normalTextColor_;
};
