#pragma once
// Shared set-up of the settings dialog tests: the offscreen application, a
// temporary program folder (error dump, caplib.txt, help pages), only the
// test devices, fresh settings, recorded message boxes, and helpers that
// drive modal dialogs and combo boxes the way a user does.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Devices.h"
#include "diag/ProgramPath.h"
#include "media/CapLib.h"
#include "platform/MessageBox.h"
#include "settings/AppSettings.h"
#include "tests/support/GuiTest.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/TempFolder.h"

namespace dialogtest {

// Picks an entry of a combo box as a user does: the selection changes and
// the box reports the choice.
inline void Choose(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

inline std::vector<std::string> Entries(const QComboBox* box) {
    std::vector<std::string> texts;
    for (int i = 0; i < box->count(); ++i) texts.push_back(box->itemText(i).toStdString());
    return texts;
}

using testsupport::WhenModal;

// A temporary program folder and only the test devices (or the ones a test
// sets), fresh settings and recorded message boxes.
class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApplication();
        setenv("LUMACAST_FAKE_DEVICES", "only", 1);
        capture::SetTestDevices(capture::DefaultTestDevices());
        programDir = folder_.Path().string() + "/";
        g_settings = AppSettings{};
        configChanged = false;
    }

    void TearDown() override {
        if (capture_) capture_->Close();
        capture_.reset();
        capture::ResetTestDevices();
        programDir.clear();
    }

    // The capture library over the test devices.
    CapLib& Capture() {
        if (!capture_) capture_ = std::make_unique<CapLib>();
        return *capture_;
    }

    testsupport::ProgramFolder folder_{"lumadialogs"};
    RecordingMessageBoxes boxes_;
    std::unique_ptr<CapLib> capture_;
};

}  // namespace dialogtest
