#include "media/Caption.h"

#include <cstring>

#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QPainter>

#include "diag/ErrorTrail.h"
#include "media/CapLib.h"
#include "media/FrameGrabber.h"
#include "settings/AppSettings.h"

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

void DrawCaptionText(FrameDC* dc, const QString& text) {
    if (!dc || text.isEmpty() || !QGuiApplication::instance()) return;
    QImage& image = dc->Image();
    if (image.isNull()) return;
    QPainter painter(&image);
    dc->Orient(painter);
    QFont font = QGuiApplication::font();
    font.setStyleStrategy(QFont::NoAntialias);  // plain pixels, as a bitmap font gives
    painter.setFont(font);
    painter.setBackgroundMode(Qt::TransparentMode);
    // Text positions name the top-left of the text, as in the frame's
    // coordinates; Qt draws from the baseline.
    const int ascent = QFontMetrics(font).ascent();
    painter.setPen(QColor(0, 0, 0));
    painter.drawText(3, 3 + ascent, text);
    painter.setPen(QColor(255, 255, 255));
    painter.drawText(2, 2 + ascent, text);
}

void DrawCaptionFor(CapLib* capLib) {
    if (!capLib) {
        RecordEntry("m_hDlg", __LINE__, true);
        return;
    }
    FrameDC* dc = capLib->GetFrameDC();
    if (!dc) return;
    // The capture thread only reads the caption fields of the settings.
    char text[sizeof g_settings.captionText];
    std::memcpy(text, g_settings.captionText, sizeof text);
    text[sizeof text - 1] = '\0';
    DrawCaptionText(dc, CaptionText(g_settings.captionDateTime != 0, text));
}
