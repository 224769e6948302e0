#include "app/MeterWidget.h"

#include <QPainter>

#include "app/BroadcastSession.h"
#include "app/Meter.h"
#include "settings/AppSettings.h"

MeterWidget::MeterWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void MeterWidget::Invalidate() {
    if (paintPending_.exchange(true)) return;
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void MeterWidget::paintEvent(QPaintEvent*) {
    paintPending_ = false;
    if (session_) {
        session_->CopyMeterColumns(&columns_);
    } else {
        columns_.clear();
    }
    QPainter painter(this);
    DrawMeter(painter, rect(), columns_, g_settings.meterScale);
}

void DrawMeter(QPainter& painter, const QRect& rect, const std::vector<std::int16_t>& columns,
               int meterScale) {
    const int left = rect.left();
    const int top = rect.top();
    const int right = rect.left() + rect.width();  // exclusive
    const int mid = rect.height() / 2;
    painter.fillRect(rect, Qt::black);
    const QColor column = QColor::fromRgb(MeterWidget::kColumnColour);
    const int count = std::min(static_cast<int>(columns.size()), rect.width());
    for (int i = 0; i < count; ++i) {
        const int h = MeterColumnHeight(columns[static_cast<std::size_t>(i)], mid, meterScale);
        if (h == 0) continue;
        // A line from mid - h to mid + h covers mid - h up to, not including, mid + h.
        const int from = h > 0 ? mid - h : mid + h + 1;
        const int to = h > 0 ? mid + h - 1 : mid - h;
        painter.fillRect(QRect(left + i, top + from, 1, to - from + 1), column);
    }
    painter.fillRect(QRect(left, top + mid, right - left, 1),
                     QColor::fromRgb(MeterWidget::kCentreColour));
}
