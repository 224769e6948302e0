#pragma once
// Shared set-up of the capture library tests: the test binary's application
// on Qt's offscreen platform (text needs one), a temporary program folder
// whose capture log starts afresh, and the test devices.

#include <gtest/gtest.h>

#include "capture/Devices.h"
#include "media/CapLog.h"
#include "tests/support/GuiTest.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Wait.h"

using testsupport::EnsureApplication;
using testsupport::ReadWholeFile;
using testsupport::WaitUntil;

// A temporary program folder with "lumasrv.bin" as the program's path, and
// the capture log writing caplib.txt there from its first line.
class TempProgramDir {
  public:
    TempProgramDir() { g_capLog.Reset("caplib.txt"); }
    ~TempProgramDir() { g_capLog.Reset("caplib.txt"); }
    const std::filesystem::path& Path() const { return folder_.Path(); }

  private:
    testsupport::ProgramFolder folder_{"lumacast-media"};
};
