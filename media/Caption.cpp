#include "media/Caption.h"

#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QPainter>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The user's time format with seconds, as the system's long time of day
// without a zone name.
QString TimeFormat(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1Char('s'))) {
        const int minutes = format.lastIndexOf(QLatin1String("mm"));
        if (minutes >= 0) format.insert(minutes + 2, QLatin1String(":ss"));
    }
    return format;
}

}  // namespace

QString CaptionText(bool dateTime, const char* text) {
    if (!dateTime) return QString::fromLocal8Bit(text ? text : "");
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    return QStringLiteral("%1 %2").arg(locale.toString(now.date(), QLocale::ShortFormat),
                                       locale.toString(now.time(), TimeFormat(locale)));
}

const QString& CurrentCaptionText(bool dateTime, const char* text) {
    struct Cache {
        bool valid = false;
        bool dateTime = false;
        std::time_t second = 0;
        std::string text;
        QString caption;
    };
    thread_local Cache cache;
    const char* custom = text ? text : "";
    const std::time_t now = std::time(nullptr);
    const bool same = cache.valid && cache.dateTime == dateTime &&
                      (dateTime ? cache.second == now : cache.text == custom);
    if (!same) {
        cache.valid = true;
        cache.dateTime = dateTime;
        cache.second = now;
        cache.text = custom;
        cache.caption = CaptionText(dateTime, custom);
    }
    return cache.caption;
}

namespace {

// One run of equal pixels of the drawn caption, in picture coordinates.
struct StampRun {
    int y;
    int x;
    int length;
    std::uint8_t blue, green, red, alpha;
};

struct CaptionStamp {
    QString text;
    QFont baseFont;  // the default font the stamp was drawn in
    std::vector<StampRun> runs;
};

// Draws the caption as it would land on a frame: shadow, then text.
void MakeStamp(CaptionStamp& stamp, const QString& text) {
    stamp.text = text;
    stamp.runs.clear();
    stamp.baseFont = QGuiApplication::font();
    QFont font = stamp.baseFont;
    font.setStyleStrategy(QFont::NoAntialias);  // plain pixels, as a bitmap font gives
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(text) + metrics.maxWidth() + 4;
    const int height = metrics.height() + 4;
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setFont(font);
        painter.setBackgroundMode(Qt::TransparentMode);
        // Positions name the top-left of the text; Qt draws from the baseline.
        const int ascent = metrics.ascent();
        painter.setPen(QColor(0, 0, 0));
        painter.drawText(3, 3 + ascent, text);
        painter.setPen(QColor(255, 255, 255));
        painter.drawText(2, 2 + ascent, text);
    }
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < width;) {
            const QRgb pixel = row[x];
            int end = x + 1;
            while (end < width && row[end] == pixel) ++end;
            if (qAlpha(pixel) != 0)
                stamp.runs.push_back({y, x, end - x, static_cast<std::uint8_t>(qBlue(pixel)),
                                      static_cast<std::uint8_t>(qGreen(pixel)),
                                      static_cast<std::uint8_t>(qRed(pixel)),
                                      static_cast<std::uint8_t>(qAlpha(pixel))});
            x = end;
        }
    }
}

}  // namespace

void DrawCaptionText(FrameDC* dc, const QString& text) {
    if (!dc || text.isEmpty() || !QGuiApplication::instance()) return;
    QImage& image = dc->Image();
    if (image.isNull()) return;
    thread_local CaptionStamp stamp;
    if (stamp.runs.empty() || stamp.text != text || stamp.baseFont != QGuiApplication::font())
        MakeStamp(stamp, text);
    // The image holds the buffer's rows, bottom-up: picture row y is image
    // row height-1-y.
    const int width = image.width(), height = image.height();
    for (const StampRun& run : stamp.runs) {
        if (run.y >= height || run.x >= width) continue;
        std::uint8_t* p = image.scanLine(height - 1 - run.y) + run.x * 3;
        const int length = std::min(run.length, width - run.x);
        for (int i = 0; i < length; ++i, p += 3) {
            if (run.alpha == 255) {
                p[0] = run.blue;
                p[1] = run.green;
                p[2] = run.red;
            } else {
                const int a = run.alpha;
                // Unpremultiplied colour over the frame.
                p[0] = static_cast<std::uint8_t>((run.blue * a + p[0] * (255 - a)) / 255);
                p[1] = static_cast<std::uint8_t>((run.green * a + p[1] * (255 - a)) / 255);
                p[2] = static_cast<std::uint8_t>((run.red * a + p[2] * (255 - a)) / 255);
            }
        }
    }
}

CaptionOverlay::CaptionOverlay(CaptionChoice choice)
    : caption_(std::make_shared<const CaptionChoice>(std::move(choice))) {}

void CaptionOverlay::SetCaption(CaptionChoice choice) {
    auto made = std::make_shared<const CaptionChoice>(std::move(choice));
    std::lock_guard lock(mutex_);
    caption_.swap(made);
    // The choice replaced goes after the lock, with the last frame drawing it.
}

std::shared_ptr<const CaptionChoice> CaptionOverlay::Caption() const {
    std::lock_guard lock(mutex_);
    return caption_;
}

void CaptionOverlay::OnFrame(FrameDC* dc) {
    if (!dc) return;
    const std::shared_ptr<const CaptionChoice> caption = Caption();
    DrawCaptionText(dc, CurrentCaptionText(caption->dateTime, caption->text.c_str()));
}
