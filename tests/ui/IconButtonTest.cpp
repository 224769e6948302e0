// The toolbar's icon button as the user sees it: pixels of the grabbed button
// in each state, lighting up only in the active window, clicks that count and
// presses that are taken back, colours that follow the palette, the tooltip.

#include <gtest/gtest.h>

#include <QApplication>
#include <QHelpEvent>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

#include "tests/support/GuiTest.h"
#include "ui/IconButton.h"
#include "ui/Icons.h"
#include "ui/OffscreenDC.h"

namespace {

using testsupport::WaitFor;

const QColor kFace(200, 196, 180);
const QColor kShadow(90, 80, 70);
const QColor kLight(250, 246, 238);
const QColor kIconRed(220, 20, 30);
const QColor kIconBlue(20, 40, 220);

QIcon SolidIcon(const QColor& color, int side = 32) {
    QPixmap pixmap(side, side);
    pixmap.fill(color);
    return QIcon(pixmap);
}

// A toolbar button the size the main window gives it (27 x 24 dialog units
// of the default font), in a window of its own.
class IconButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QPalette palette = QApplication::palette();
        palette.setColor(QPalette::Button, kFace);
        palette.setColor(QPalette::Dark, kShadow);
        palette.setColor(QPalette::Light, kLight);
        window_.setPalette(palette);
        window_.resize(200, 100);
        button_ = new IconButton(&window_);
        button_->setGeometry(20, 30, kWidth, kHeight);
        button_->LoadIcons(SolidIcon(kIconBlue), SolidIcon(kIconRed));
        window_.show();
        Activate(window_);
    }
    void TearDown() override {
        QToolTip::hideText();
        // Leave the pointer where no later test's button lies.
        QTest::mouseMove(window_.windowHandle(), QPoint(199, 99));
    }

    static void Activate(QWidget& window) {
        window.activateWindow();
        ASSERT_TRUE(WaitFor([&] { return window.isActiveWindow(); }));
    }

    QImage Grab() const { return button_->grab().toImage(); }

    // A point of the button in its window's coordinates.
    QPoint At(int x, int y) const { return button_->mapTo(&window_, QPoint(x, y)); }
    QWindow* Window() { return window_.windowHandle(); }

    static constexpr int kWidth = 40;
    static constexpr int kHeight = 42;
    bool haveApplication_ = (testsupport::EnsureApplication(), true);
    QWidget window_;
    IconButton* button_ = nullptr;
};

TEST_F(IconButtonTest, EachStateDrawsItsFrameAndIcon) {
    const int w = kWidth, h = kHeight;
    const int iconX = (w - 32) / 2, iconY = (h - 32) / 2;  // 4, 5
    struct Pixel {
        int x, y;
        QColor color;
    };
    struct Case {
        const char* state;
        std::vector<Pixel> pixels;
    };
    const std::vector<Case> cases = {
        {"normal",
         {{0, 0, kFace},
          {w - 1, h - 1, kFace},
          {0, h / 2, kFace},
          {w / 2, 0, kFace},
          {iconX, iconY, kIconRed},
          {iconX + 31, iconY + 31, kIconRed},
          {iconX - 1, iconY, kFace},
          {iconX + 32, iconY + 32, kFace}}},
        // Raised: light along the top and left, shadow along the bottom and
        // right, which is drawn last and so takes both far corners.
        {"hot",
         {{0, 0, kLight},
          {w / 2, 0, kLight},
          {w - 2, 0, kLight},
          {w - 1, 0, kShadow},
          {0, h / 2, kLight},
          {0, h - 2, kLight},
          {0, h - 1, kShadow},
          {w / 2, h - 1, kShadow},
          {w - 1, h / 2, kShadow},
          {w - 1, h - 1, kShadow},
          {1, 1, kFace},
          {iconX, iconY, kIconBlue},
          {iconX + 31, iconY + 31, kIconBlue}}},
        // Sunken, the icon one pixel down and right.
        {"pressed",
         {{0, 0, kShadow},
          {w - 2, 0, kShadow},
          {w - 1, 0, kLight},
          {0, h - 2, kShadow},
          {0, h - 1, kLight},
          {w / 2, h - 1, kLight},
          {w - 1, h / 2, kLight},
          {1, 1, kFace},
          {iconX, iconY, kFace},
          {iconX + 1, iconY + 1, kIconBlue},
          {iconX + 32, iconY + 32, kIconBlue},
          {iconX + 33, iconY + 33, kFace}}},
    };
    for (const Case& c : cases) {
        const std::string state = c.state;
        QTest::mouseMove(Window(), state == "normal" ? QPoint(199, 99) : At(w / 2, h / 2));
        button_->setDown(state == "pressed");
        ASSERT_EQ(button_->IsHovering(), state != "normal") << state;
        const QImage image = Grab();
        ASSERT_EQ(image.size(), QSize(w, h));
        for (const Pixel& p : c.pixels) {
            EXPECT_EQ(image.pixelColor(p.x, p.y), p.color) << state << " at " << p.x << "," << p.y;
        }
        button_->setDown(false);
    }
}

TEST_F(IconButtonTest, DisabledShowsTheIconGreyedAndNeverLights) {
    button_->setEnabled(false);
    QTest::mouseMove(Window(), At(kWidth / 2, kHeight / 2));
    EXPECT_FALSE(button_->IsHovering());
    const QImage image = Grab();
    EXPECT_EQ(image.pixelColor(0, 0), kFace);  // no frame
    const QColor icon = image.pixelColor(kWidth / 2, kHeight / 2);
    EXPECT_NE(icon, kIconRed);
    EXPECT_LT(icon.hsvSaturation(), 40) << icon.name().toStdString();

    // Enabled again under a still mouse, it lights at the next move.
    button_->setEnabled(true);
    QTest::mouseMove(Window(), At(kWidth / 2 + 1, kHeight / 2));
    EXPECT_TRUE(button_->IsHovering());
}

TEST_F(IconButtonTest, LightsOnlyWhileItsWindowIsActive) {
    // The focus is elsewhere, so losing it is not what puts the button out.
    QLineEdit field(&window_);
    field.setGeometry(100, 5, 80, 20);
    field.show();
    field.setFocus();
    QWidget other;
    other.resize(50, 50);
    other.show();
    Activate(other);
    QTest::mouseMove(Window(), At(10, 10));
    QTest::mouseMove(Window(), At(12, 12));
    EXPECT_FALSE(button_->IsHovering());
    EXPECT_EQ(Grab().pixelColor(0, 0), kFace);

    Activate(window_);
    QTest::mouseMove(Window(), At(13, 13));
    EXPECT_TRUE(button_->IsHovering());
    EXPECT_EQ(Grab().pixelColor(0, 0), kLight);

    // Another window coming to the front puts it out.
    Activate(other);
    EXPECT_TRUE(WaitFor([&] { return !button_->IsHovering(); }));

    // Back in the active window it stays lit while the pointer is over it
    // and goes out once the pointer leaves.
    Activate(window_);
    QTest::mouseMove(Window(), At(14, 14));
    for (int x = 1; x < kWidth; x += 7) {
        QTest::mouseMove(Window(), At(x, kHeight - 2));
        EXPECT_TRUE(button_->IsHovering()) << x;
    }
    QTest::mouseMove(Window(), At(kWidth + 5, 10));
    EXPECT_FALSE(button_->IsHovering());
}

TEST_F(IconButtonTest, PressDragOffAndReleaseOutsideDoesNotClick) {
    QSignalSpy clicks(button_, &QAbstractButton::clicked);
    QTest::mouseMove(Window(), At(10, 10));
    QTest::mousePress(Window(), Qt::LeftButton, {}, At(10, 10));
    EXPECT_TRUE(button_->isDown());
    QTest::mouseMove(Window(), At(kWidth + 30, 10));
    EXPECT_FALSE(button_->isDown());
    EXPECT_FALSE(button_->IsHovering());
    // Coming back with the button still held shows it pressed, not lit.
    QTest::mouseMove(Window(), At(12, 12));
    EXPECT_TRUE(button_->isDown());
    EXPECT_FALSE(button_->IsHovering());
    // The button keeps the mouse while the left button is held outside it.
    QTest::mouseMove(Window(), At(kWidth + 40, kHeight + 20));
    EXPECT_FALSE(button_->isDown());
    QTest::mouseRelease(Window(), Qt::LeftButton, {}, At(kWidth + 40, kHeight + 20));
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_FALSE(button_->isDown());
    EXPECT_FALSE(button_->IsHovering());
    const QImage image = Grab();
    EXPECT_EQ(image.pixelColor(0, 0), kFace);
    EXPECT_EQ(image.pixelColor(kWidth / 2, kHeight / 2), kIconRed);  // the normal icon
}

TEST_F(IconButtonTest, ADragFromElsewhereDoesNotLightIt) {
    QWidget source(&window_);
    source.setGeometry(120, 30, 40, 40);
    source.show();
    const QPoint start = source.mapTo(&window_, QPoint(10, 10));
    QTest::mouseMove(Window(), start);
    QTest::mousePress(Window(), Qt::LeftButton, {}, start);
    for (int x = 5; x < kWidth; x += 5) {
        QTest::mouseMove(Window(), At(x, 20));
        EXPECT_FALSE(button_->IsHovering()) << x;
        EXPECT_FALSE(button_->isDown()) << x;
    }
    EXPECT_EQ(Grab().pixelColor(0, 0), kFace);
    QTest::mouseRelease(Window(), Qt::LeftButton, {}, start);
}

TEST_F(IconButtonTest, ClicksAndQuickDoubleClicksCountEveryClick) {
    QSignalSpy clicks(button_, &QAbstractButton::clicked);
    QTest::mouseMove(Window(), At(10, 10));
    QTest::mouseClick(Window(), Qt::LeftButton, {}, At(10, 10));
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_TRUE(button_->IsHovering());  // still under the pointer
    QTest::mouseDClick(Window(), Qt::LeftButton, {}, At(10, 10));
    EXPECT_EQ(clicks.count(), 3);
    EXPECT_FALSE(button_->isDown());
}

TEST_F(IconButtonTest, APaletteChangeRepaintsWithTheNewFace) {
    QTest::mouseMove(Window(), At(10, 10));
    ASSERT_TRUE(button_->IsHovering());
    ASSERT_EQ(Grab().pixelColor(5, 2), kFace);

    const QColor newFace(30, 120, 60);
    QPalette palette = window_.palette();
    palette.setColor(QPalette::Button, newFace);
    window_.setPalette(palette);
    EXPECT_EQ(Grab().pixelColor(5, 2), newFace);  // hot
    QTest::mouseMove(Window(), QPoint(199, 99));
    EXPECT_EQ(Grab().pixelColor(5, 2), newFace);  // normal

    // Resetting without repaint keeps the colour the palette has.
    button_->ResetHotBackColor(false);
    button_->ResetNormalBackColor(false);
    EXPECT_EQ(Grab().pixelColor(5, 2), newFace);
}

TEST_F(IconButtonTest, ACaptionIsDrawnInTheButtonTextColour) {
    QPalette palette = window_.palette();
    palette.setColor(QPalette::ButtonText, QColor(0, 0, 255));
    window_.setPalette(palette);
    button_->setText(QStringLiteral("WWWW"));
    button_->resize(140, kHeight);
    const QImage image = Grab();
    int blue = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 36; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.blue() > c.red() + 80 && c.blue() > c.green() + 80) ++blue;
        }
    }
    EXPECT_GT(blue, 10);
    EXPECT_EQ(image.pixelColor(3, 5), kIconRed);  // the icon moves to the left
}

TEST_F(IconButtonTest, TheTooltipShowsOnlyWhenActivated) {
    auto askForTip = [&] {
        QHelpEvent help(QEvent::ToolTip, QPoint(10, 10), button_->mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(button_, &help);
    };
    button_->SetTip(QStringLiteral("Start server"), false);
    askForTip();
    testsupport::ProcessEventsFor(std::chrono::milliseconds(100));
    EXPECT_FALSE(QToolTip::isVisible());
    EXPECT_EQ(button_->accessibleName(), QStringLiteral("Start server"));

    button_->SetTip(QStringLiteral("Start server"), true);
    askForTip();
    EXPECT_TRUE(WaitFor([] { return QToolTip::isVisible(); }));
    EXPECT_EQ(QToolTip::text(), QStringLiteral("Start server"));
}

TEST_F(IconButtonTest, LoadIconsByIdTakesTheIconsSize) {
    button_->LoadIcons(kStartIconId);
    EXPECT_EQ(button_->IconSize(), QSize(32, 32));
    button_->LoadIcons(9999);
    EXPECT_EQ(button_->IconSize(), QSize(0, 0));
    EXPECT_EQ(Grab().pixelColor(kWidth / 2, kHeight / 2), kFace);  // nothing drawn

    button_->LoadIcons(SolidIcon(kIconRed, 300));  // measured in 8 bits
    EXPECT_EQ(button_->IconSize(), QSize(255, 255));
}

// Drawing lands at the target's own coordinates, only inside the clip, and
// reaches the target in one copy at the end.
TEST(OffscreenDCTest, DrawsInTargetCoordinatesAndCopiesOnce) {
    testsupport::EnsureApplication();
    QImage target(60, 40, QImage::Format_ARGB32);
    target.fill(Qt::white);
    QPainter painter(&target);
    {
        OffscreenDC dc(painter, QRect(10, 5, 20, 15));
        dc.Painter().fillRect(QRect(0, 0, 60, 40), Qt::blue);
        dc.Painter().fillRect(QRect(12, 7, 1, 1), Qt::red);
        EXPECT_EQ(target.pixelColor(12, 7), QColor(Qt::white));  // not yet
    }
    painter.end();
    EXPECT_EQ(target.pixelColor(12, 7), QColor(Qt::red));
    EXPECT_EQ(target.pixelColor(10, 5), QColor(Qt::blue));
    EXPECT_EQ(target.pixelColor(29, 19), QColor(Qt::blue));
    EXPECT_EQ(target.pixelColor(9, 5), QColor(Qt::white));
    EXPECT_EQ(target.pixelColor(30, 19), QColor(Qt::white));
    EXPECT_EQ(target.pixelColor(10, 20), QColor(Qt::white));
}

}  // namespace
