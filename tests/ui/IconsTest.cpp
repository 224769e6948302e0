// The program's icons come out of the compiled-in pictures at every size the
// toolbar and the tray ask for, greyed when disabled, and the program icon is
// staged in the program folder for the desktop.

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QSvgRenderer>
#include <cstdlib>

#include "tests/support/GuiTest.h"
#include "tests/support/Skip.h"
#include "ui/Icons.h"

namespace {

class IconsTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::EnsureApplication(); }
};

struct Coverage {
    int opaque = 0;     // pixels mostly covered
    int saturated = 0;  // opaque pixels with clear colour
};

Coverage Measure(const QImage& image) {
    Coverage coverage;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() < 128) continue;
            ++coverage.opaque;
            if (c.hsvSaturation() > 90) ++coverage.saturated;
        }
    }
    return coverage;
}

TEST_F(IconsTest, EveryIconDrawsAtToolbarAndTraySizes) {
    const int ids[] = {kProgramIconId, kStartIconId,        kStopIconId,
                       kHelpIconId,    kRemoteServerIconId, kServerSetupIconId};
    for (int id : ids) {
        const QIcon icon = IconById(id);
        ASSERT_FALSE(icon.isNull()) << id;
        EXPECT_EQ(icon.availableSizes(), QList<QSize>{QSize(32, 32)}) << id;
        for (int side : {16, 22, 32, 48}) {
            const QImage normal = icon.pixmap(side, side).toImage();
            ASSERT_EQ(normal.size(), QSize(side, side)) << id;
            const Coverage drawn = Measure(normal);
            // A recognisable picture: a good part of the square, in colour.
            EXPECT_GT(drawn.opaque, side * side / 5) << id << " at " << side;
            EXPECT_GT(drawn.saturated, side * side / 10) << id << " at " << side;

            const QImage disabled = icon.pixmap(QSize(side, side), QIcon::Disabled).toImage();
            const Coverage greyed = Measure(disabled);
            EXPECT_GT(greyed.opaque, side * side / 5) << id << " disabled at " << side;
            EXPECT_EQ(greyed.saturated, 0) << id << " disabled at " << side;
        }
    }
}

TEST_F(IconsTest, IdsWithoutAnIconGiveNone) {
    for (int id : {0, -1, 102, 129, 171, 174}) EXPECT_TRUE(IconById(id).isNull()) << id;
}

TEST_F(IconsTest, EachIdHasAPictureOfItsOwn) {
    const int ids[] = {kProgramIconId, kStartIconId,        kStopIconId,
                       kHelpIconId,    kRemoteServerIconId, kServerSetupIconId};
    std::vector<QImage> images;
    for (int id : ids) images.push_back(IconById(id).pixmap(16, 16).toImage());
    for (std::size_t a = 0; a < images.size(); ++a) {
        for (std::size_t b = a + 1; b < images.size(); ++b) {
            EXPECT_NE(images[a], images[b]) << ids[a] << " and " << ids[b];
        }
    }
}

TEST_F(IconsTest, TheProgramIconIsStagedForTheDesktop) {
    const char* programDir = std::getenv("LUMACAST_PROGRAM_DIR");
    if (!programDir) LUMACAST_SKIP() << "LUMACAST_PROGRAM_DIR is not set (run through CTest)";
    const QString path = QString::fromLocal8Bit(programDir) + "/icons/lumacast.svg";
    QFile staged(path);
    ASSERT_TRUE(staged.open(QIODevice::ReadOnly)) << path.toStdString();
    const QSvgRenderer renderer(staged.readAll());
    EXPECT_TRUE(renderer.isValid());
    EXPECT_EQ(renderer.defaultSize(), QSize(32, 32));
}

}  // namespace
