#include "ui/Icons.h"

#include <QApplication>
#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>

// Outside any namespace, as the resource compiler's functions are.
static void RegisterIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace {

struct IconFile {
    int id;
    const char* path;
};

constexpr IconFile kIconFiles[] = {
    {kProgramIconId, ":/icons/lumacast.svg"},    {kStartIconId, ":/icons/start.svg"},
    {kStopIconId, ":/icons/stop.svg"},           {kHelpIconId, ":/icons/help.svg"},
    {kRemoteServerIconId, ":/icons/remote.svg"}, {kServerSetupIconId, ":/icons/setup.svg"},
};

// Draws an SVG picture at whatever size is asked for, so the tray, the
// toolbar and the window decorations each get a sharp icon. Rendering goes
// through QSvgRenderer directly rather than Qt's icon plugins, so the
// pictures do not depend on which plugins the installation found.
class SvgIconEngine : public QIconEngine {
  public:
    SvgIconEngine(int id, QByteArray svg) : id_(id), svg_(std::move(svg)) {
        const QSvgRenderer renderer(svg_);
        natural_ = renderer.defaultSize();
        if (natural_.isEmpty()) natural_ = QSize(32, 32);
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap picture = scaledPixmap(rect.size(), mode, state, ratio);
        painter->drawPixmap(rect, picture);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        const QSize pixels = (QSizeF(size) * scale).toSize();
        if (pixels.isEmpty()) return QPixmap();
        const QString key = QStringLiteral("lumacast-icon-%1-%2x%3-%4")
                                .arg(id_)
                                .arg(pixels.width())
                                .arg(pixels.height())
                                .arg(int(mode));
        QPixmap cached;
        if (QPixmapCache::find(key, &cached)) return cached;

        QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QSvgRenderer renderer(svg_);
            QPainter painter(&image);
            renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
        }
        QPixmap result = QPixmap::fromImage(image);
        if (mode != QIcon::Normal) result = Styled(result, mode);
        result.setDevicePixelRatio(scale);
        QPixmapCache::insert(key, result);
        return result;
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        // Square pictures: the largest square that fits.
        const int side = std::min(size.width(), size.height());
        return QSize(side, side);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {natural_}; }

    QString key() const override { return QStringLiteral("lumacast-svg"); }
    QIconEngine* clone() const override { return new SvgIconEngine(*this); }

  private:
    // Disabled, active and selected looks as the application's style draws
    // them; without a widget style (a program without windows), disabled
    // icons are greyed and lightened here.
    static QPixmap Styled(const QPixmap& normal, QIcon::Mode mode) {
        if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
            QStyleOption option;
            option.palette = QApplication::palette();
            return app->style()->generatedIconPixmap(mode, normal, &option);
        }
        if (mode != QIcon::Disabled) return normal;
        QImage image = normal.toImage().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const int grey = 128 + qGray(line[x]) / 2;
                line[x] = qRgba(grey, grey, grey, qAlpha(line[x]) / 2);
            }
        }
        return QPixmap::fromImage(image);
    }

    int id_;
    QByteArray svg_;
    QSize natural_;
};

}  // namespace

QIcon IconById(int id) {
    static const bool registered = (RegisterIcons(), true);
    (void)registered;
    for (const IconFile& file : kIconFiles) {
        if (file.id != id) continue;
        QFile source(QString::fromLatin1(file.path));
        if (!source.open(QIODevice::ReadOnly)) return QIcon();
        QByteArray svg = source.readAll();
        if (!QSvgRenderer(svg).isValid()) return QIcon();
        return QIcon(new SvgIconEngine(id, std::move(svg)));
    }
    return QIcon();
}
