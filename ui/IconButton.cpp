#include "ui/IconButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>

#include "ui/Icons.h"
#include "ui/OffscreenDC.h"

namespace {

// Icons are measured in 8 bits; larger ones are drawn at 255 pixels.
std::uint8_t IconExtent(int pixels) {
    return static_cast<std::uint8_t>(std::clamp(pixels, 0, 255));
}

}  // namespace

IconButton::IconButton(QWidget* parent) : QAbstractButton(parent) {
    // Moves without a button pressed must reach the button so it can light up.
    setMouseTracking(true);
    ResetHotBackColor(false);
    ResetHotTextColor(false);
    ResetNormalBackColor(false);
    ResetNormalTextColor(false);
}

void IconButton::LoadIcons(int hotId, int normalId) {
    LoadIcons(IconById(hotId), normalId != 0 ? IconById(normalId) : QIcon());
}

void IconButton::LoadIcons(const QIcon& hot, const QIcon& normal) {
    iconHot_ = hot;
    iconNormal_ = normal.isNull() ? hot : normal;
    QSize natural;
    const QList<QSize> sizes = hot.availableSizes();
    for (const QSize& size : sizes) natural = natural.expandedTo(size);
    if (natural.isEmpty() && !hot.isNull()) {
        const int side = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
        natural = QSize(side, side);
    }
    iconWidth_ = IconExtent(natural.width());
    iconHeight_ = IconExtent(natural.height());
    updateGeometry();
    update();
}

void IconButton::ResetHotBackColor(bool repaint) {
    hotBackColor_ = palette().color(QPalette::Active, QPalette::Button);
    if (repaint) update();
}

void IconButton::ResetHotTextColor(bool repaint) {
    hotTextColor_ = palette().color(QPalette::Active, QPalette::ButtonText);
    if (repaint) update();
}

void IconButton::ResetNormalBackColor(bool repaint) {
    normalBackColor_ = palette().color(QPalette::Active, QPalette::Button);
    if (repaint) update();
}

void IconButton::ResetNormalTextColor(bool repaint) {
    normalTextColor_ = palette().color(QPalette::Active, QPalette::ButtonText);
    if (repaint) update();
}

void IconButton::SetTip(const QString& text, bool activate) {
    setToolTip(activate ? text : QString());
    setAccessibleName(text);
}

QSize IconButton::sizeHint() const {
    QSize size(iconWidth_ + 8, iconHeight_ + 8);
    if (!text().isEmpty()) {
        const QSize textSize = fontMetrics().size(Qt::TextSingleLine, text());
        size = QSize(size.width() + textSize.width() + 3,
                     std::max(size.height(), textSize.height() + 8));
    }
    return size;
}

void IconButton::paintEvent(QPaintEvent* event) {
    QPainter target(this);
    OffscreenDC dc(target, event->rect());
    QPainter& painter = dc.Painter();

    const QRect item = rect();
    const bool pressed = isDown();
    const bool hot = hovering_ || pressed;
    painter.fillRect(item, hot ? hotBackColor_ : normalBackColor_);

    // A one-pixel frame in the palette's 3D colours (Dark is a button's
    // shadow, Light its highlight). Each line runs from its first point up
    // to, but not including, its last, and the bottom and right pair is
    // drawn over the top and left pair where they meet. Pressed, the shadow
    // runs along the top and left (sunken); lit, the highlight does (raised).
    if (hot) {
        const QColor shadow = palette().color(QPalette::Dark);
        const QColor light = palette().color(QPalette::Light);
        const QColor& first = pressed ? shadow : light;
        const QColor& second = pressed ? light : shadow;
        const int left = item.left();
        const int top = item.top();
        const int right = item.left() + item.width();   // exclusive
        const int bottom = item.top() + item.height();  // exclusive
        // (left, bottom - 1) up to (left, top), then on to (right, top).
        painter.fillRect(QRect(left, top + 1, 1, bottom - 1 - top), first);
        painter.fillRect(QRect(left, top, right - left, 1), first);
        // (left, bottom - 1) to (right - 1, bottom - 1), then up to (right - 1, top - 1).
        painter.fillRect(QRect(left, bottom - 1, right - 1 - left, 1), second);
        painter.fillRect(QRect(right - 1, top, 1, bottom - top), second);
    }

    const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    QRect textArea = item;
    if (!iconHot_.isNull()) {
        QPoint at;
        if (text().isEmpty()) {
            at = QPoint(item.left() + (item.width() - iconWidth_) / 2,
                        item.top() + (item.height() - iconHeight_) / 2);
        } else {
            at = QPoint(item.left() + 3, item.top() + (item.height() - iconHeight_) / 2);
            textArea.setLeft(item.left() + iconWidth_ + 3);
        }
        if (pressed) at += QPoint(1, 1);
        const QIcon& icon = hot ? iconHot_ : iconNormal_;
        icon.paint(&painter, QRect(at, IconSize()), Qt::AlignCenter, mode);
    }

    if (!text().isEmpty()) {
        if (pressed) textArea.translate(1, 1);
        painter.setFont(font());
        painter.setPen(isEnabled() ? (hot ? hotTextColor_ : normalTextColor_)
                                   : palette().color(QPalette::Disabled, QPalette::ButtonText));
        painter.drawText(textArea, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic,
                         text());
    }
    // No focus rectangle: the toolbar's look has none.
}

void IconButton::mouseMoveEvent(QMouseEvent* event) {
    // The default keeps the pressed look in step with the cursor while the
    // button holds the mouse.
    QAbstractButton::mouseMoveEvent(event);
    const bool over = rect().contains(event->position().toPoint());
    if (!over) {
        Unlight();
    } else if (!hovering_ && !(event->buttons() & Qt::LeftButton)) {
        // A drag that began elsewhere, or came back here, does not light it.
        Light();
    }
}

void IconButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    Unlight();
}

void IconButton::focusOutEvent(QFocusEvent* event) {
    QAbstractButton::focusOutEvent(event);
    Unlight();
}

void IconButton::hideEvent(QHideEvent* event) {
    QAbstractButton::hideEvent(event);
    Unlight();
}

bool IconButton::event(QEvent* event) {
    // Another window coming to the front puts the button out, whether or
    // not it has the focus.
    if (event->type() == QEvent::WindowDeactivate) Unlight();
    return QAbstractButton::event(event);
}

void IconButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    switch (event->type()) {
        case QEvent::PaletteChange:
            ResetHotBackColor(false);
            ResetHotTextColor(false);
            ResetNormalBackColor(false);
            ResetNormalTextColor(true);
            break;
        case QEvent::EnabledChange:
            if (!isEnabled()) Unlight();
            break;
        default:
            break;
    }
}

void IconButton::Light() {
    if (hovering_ || !isEnabled() || !isActiveWindow()) return;
    hovering_ = true;
    update();
}

void IconButton::Unlight() {
    if (!hovering_) return;
    hovering_ = false;
    update();
}
