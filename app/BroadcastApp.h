#pragma once
// The application object of the desktop program. Constructing it puts the
// settings' defaults in place and checks the media runtime; InitInstance
// loads the configuration and runs the main window until it closes.

#include "wmvcore/RuntimeVersion.h"

class CBroadcastApp {
  public:
    // library: the runtime to check, found as the system loader finds it.
    explicit CBroadcastApp(const char* runtimeLibrary = kMediaRuntimeSoname);

    // The user chose to fetch the runtime: the program ends with exit code 0.
    bool ExitRequested() const { return exitRequested_; }

    // programDir, the configuration, then the main window, modally. Returns
    // the process's exit code.
    int InitInstance();

  private:
    bool exitRequested_ = false;
};

// The start-up runtime check: a missing runtime, one without a version or one
// older than 9.0 brings the "Warning" box; Yes opens the download page and
// answers true (the program ends), No answers false (start-up goes on).
bool RuntimeCheckEndsStartUp(const char* runtimeLibrary);
