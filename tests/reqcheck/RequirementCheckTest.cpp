// The installers' requirement check: against stand-in runtimes it warns
// exactly when the rule says, returns 0 whatever happens, and opens the
// download page for every answer but No. The library itself exports only its
// one C function, and its command tells a user without a display on standard
// error; with a display the box is a window that a user answers.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/MessageBox.h"
#include "platform/UrlOpener.h"
#include "reqcheck/RequirementCheck.h"
#include "tests/support/Commands.h"
#include "tests/support/Skip.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestRuntimes.h"
#include "tests/support/VirtualDisplay.h"
#include "wmvcore/RuntimeVersion.h"

namespace fs = std::filesystem;

namespace {

using testsupport::RuntimeFolder;

TEST(RequirementCheck, WarnsExactlyWhenTheRuntimeIsMissingOrOld) {
    testsupport::ForEachRuntimeAndAnswer(
        [](const testsupport::RuntimeCase& c, int answer, const std::string& library,
           RecordingMessageBoxes& boxes, RecordingUrlOpener& opened) {
            EXPECT_EQ(CheckRequirements(library.c_str()), 0);
            ASSERT_EQ(boxes.Count(), c.warns ? 1u : 0u);
            if (c.warns) {
                const auto box = boxes.Boxes()[0];
                EXPECT_EQ(box.caption, "Warning");
                EXPECT_EQ(box.text, testsupport::kRuntimeWarning);
                EXPECT_EQ(box.type, MB_YESNO | MB_ICONWARNING);
            }
            // The installer's check opens the page for every answer but No.
            const bool opens = c.warns && answer != IDNO;
            ASSERT_EQ(opened.Urls().size(), opens ? 1u : 0u);
            if (opens) {
                EXPECT_EQ(opened.Urls()[0], kMediaRuntimeDownloadUrl);
            }
        });
}

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* staged = std::getenv("LUMACAST_PROGRAM_DIR");
        ASSERT_TRUE(staged);
        program_ = staged;
        // A URL opener that notes what it was asked to open.
        fs::create_directories(folder_.Path() / "bin");
        opener_ = folder_.Path() / "opened.txt";
        testsupport::WriteWholeFile(folder_.Path() / "bin" / "xdg-open",
                                    "#!/bin/sh\necho \"$1\" >> '" + opener_.string() + "'\n");
        fs::permissions(folder_.Path() / "bin" / "xdg-open", fs::perms::owner_all);
    }

    // Runs the lumacheck command with the runtime of a folder found first;
    // environment holds env's arguments, before a shell command run first.
    int RunCheck(const std::string& environment, const char* runtime, std::string* output,
                 const std::string& before = "") {
        const std::string command =
            before + "env " + environment + " LD_LIBRARY_PATH='" + RuntimeFolder(runtime) +
            "' PATH='" + (folder_.Path() / "bin").string() + ":/usr/bin:/bin' timeout 60 '" +
            (program_ / "lumacheck").string() + "' 2>&1";
        int exitCode = -1;
        output->append(testsupport::RunCommand(command, &exitCode));
        return exitCode;
    }

    std::string Opened() const { return testsupport::ReadWholeFile(opener_); }

    testsupport::TempFolder folder_{"lumacheck"};
    fs::path program_;
    fs::path opener_;
};

TEST_F(LibraryTest, ExportsOnlyItsCheckByName) {
    void* library = dlopen((program_ / "liblumacheck.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    EXPECT_NE(dlsym(library, "check_requirements"), nullptr);
    EXPECT_EQ(dlsym(library, "CheckRequirements"), nullptr);
    EXPECT_EQ(dlsym(library, "_Z10MessageBoxPKcS0_j"), nullptr);
    dlclose(library);
}

TEST_F(LibraryTest, WithoutADisplayTheWarningGoesToStandardErrorAsNo) {
    std::string output;
    EXPECT_EQ(RunCheck("-u DISPLAY -u WAYLAND_DISPLAY", "v8.0", &output), 0);
    EXPECT_NE(output.find("Software require this component to work.\n\nDo you want"),
              std::string::npos)
        << output;
    EXPECT_EQ(Opened(), "");

    output.clear();
    EXPECT_EQ(RunCheck("-u DISPLAY -u WAYLAND_DISPLAY", "v10.2", &output), 0);
    EXPECT_EQ(output, "");
    // A display that does not answer counts as none.
    output.clear();
    EXPECT_EQ(RunCheck("DISPLAY=:9999", "v8.0", &output), 0);
    EXPECT_NE(output.find("Warning: You haven't installed"), std::string::npos) << output;
    EXPECT_EQ(Opened(), "");
}

// With a display the box is a window: Yes opens the page, No does not, and
// the caller goes on either way.
TEST_F(LibraryTest, OnADisplayTheUserAnswersInAWindow) {
    testsupport::VirtualDisplay display;
    if (!display.Ok()) LUMACAST_SKIP() << "no X server: " << display.Error();
    struct Case {
        const char* keys;
        bool opens;
    };
    for (const Case c : {Case{"alt+y", true}, Case{"alt+n", false}}) {
        SCOPED_TRACE(c.keys);
        fs::remove(opener_);
        std::string output;
        // The user: waits for the box, then answers it from the keyboard.
        const std::string user = "(DISPLAY=" + display.Display() +
                                 " xdotool search --sync --name '^Warning$' windowfocus --sync "
                                 "key " +
                                 c.keys + " > /dev/null 2>&1 &) ; ";
        const int status =
            RunCheck("-u QT_QPA_PLATFORM DISPLAY=" + display.Display(), "v8.0", &output, user);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(Opened(), c.opens ? std::string(kMediaRuntimeDownloadUrl) + "\n" : "");
    }
}

}  // namespace
