// The help window shows pages of the help folder, one window for all, and
// shows nothing for a page that cannot be read.

#include <gtest/gtest.h>

#include <QTextBrowser>

#include "tests/support/GuiTest.h"
#include "tests/support/TempFolder.h"
#include "ui/HelpWindow.h"

namespace {

TEST(HelpWindowTest, ShowsPagesInOneWindowAndNothingForAMissingPage) {
    testsupport::EnsureApplication();
    testsupport::TempFolder help("lumahelp");
    testsupport::WriteWholeFile(help.Path() / "index.htm",
                                "<html><head><title>Contents</title></head><body>"
                                "<a href=\"using.htm\">Using</a></body></html>");
    testsupport::WriteWholeFile(help.Path() / "using.htm",
                                "<html><head><title>Using Lumacast</title></head>"
                                "<body><p>Start</p></body></html>");

    EXPECT_FALSE(ShowHelpPage(help / "missing.htm"));
    EXPECT_EQ(CurrentHelpWindow(), nullptr);

    ASSERT_TRUE(ShowHelpPage(help / "using.htm"));
    HelpWindow* window = CurrentHelpWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Using Lumacast");
    EXPECT_TRUE(window->Browser()->toPlainText().contains("Start"));

    ASSERT_TRUE(ShowHelpPage(help / "index.htm"));
    EXPECT_EQ(CurrentHelpWindow(), window);
    EXPECT_EQ(window->windowTitle(), "Contents");
    window->Browser()->backward();
    EXPECT_EQ(window->windowTitle(), "Using Lumacast");
    window->close();
    EXPECT_TRUE(testsupport::WaitFor([] { return CurrentHelpWindow() == nullptr; }));
}

}  // namespace
