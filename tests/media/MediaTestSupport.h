#pragma once
// Shared set-up of the capture library tests: Qt's offscreen platform (text
// needs a QGuiApplication), a temporary program folder and the test devices.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "diag/ProgramPath.h"
#include "media/CapLog.h"
#include "platform/capture/Devices.h"

inline QGuiApplication* EnsureGuiApplication() {
    if (auto* app = qobject_cast<QGuiApplication*>(QGuiApplication::instance())) return app;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "media_capture_tests";
    static char* argv[] = {name, nullptr};
    return new QGuiApplication(argc, argv);  // lives for the whole test run
}

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A temporary program folder with "lumasrv.bin" as the program's path.
class TempProgramDir {
  public:
    TempProgramDir() {
        namespace fs = std::filesystem;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("lumacast-media-" + std::to_string(getpid()) + "-" + (info ? info->name() : "x"));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "state");
        setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
        SetProgramPath((dir_ / "lumasrv.bin").string());
        g_capLog.Reset("caplib.txt");
    }
    ~TempProgramDir() {
        g_capLog.Reset("caplib.txt");
        SetProgramPath("");
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path Path() const { return dir_; }

  private:
    std::filesystem::path dir_;
};
