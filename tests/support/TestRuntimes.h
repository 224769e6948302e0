#pragma once
// The stand-in media runtimes (see CMakeLists.txt) and whether the runtime
// check must warn about each: exactly when its product or file version is
// below 9.0, when it reports no version, or when there is no runtime at all.

#include <gtest/gtest.h>

#include <string>

#include "platform/MessageBox.h"
#include "platform/UrlOpener.h"

namespace testsupport {

struct RuntimeCase {
    const char* runtime;  // folder under LUMACAST_TEST_RUNTIMES_DIR
    bool warns;
};

inline constexpr RuntimeCase kRuntimeCases[] = {
    {"v8.0", true},
    {"v9.0", false},
    {"v9.0-file-v8.0-product", true},
    {"v8.0-file-v9.0-product", true},
    {"v10.2", false},
    {"without-version", true},
    {"missing", true},  // no such folder: no runtime installed
};

// The folder of a stand-in runtime, and its library file.
inline std::string RuntimeFolder(const char* runtime) {
    return std::string(LUMACAST_TEST_RUNTIMES_DIR) + "/" + runtime;
}
inline std::string RuntimeLibrary(const char* runtime) {
    return RuntimeFolder(runtime) + "/libwmvcore.so.9";
}

// The warning both runtime checks show.
inline constexpr const char* kRuntimeWarning =
    "You haven't installed Windows Media Player 9.0\n"
    "Software require this component to work.\n"
    "\n"
    "Do you want to open Windows Media Player download page?";

// Runs check(runtimeCase, answer, library, boxes, opened) for every stand-in
// runtime, once with the warning answered Yes and once No: message boxes are
// recorded (the next one answered so) and so are the pages opened.
template <typename Check>
void ForEachRuntimeAndAnswer(Check check) {
    for (const RuntimeCase& c : kRuntimeCases) {
        for (int answer : {IDYES, IDNO}) {
            SCOPED_TRACE(::testing::Message() << c.runtime << " answered " << answer);
            RecordingMessageBoxes boxes;
            RecordingUrlOpener opened;
            boxes.QueueAnswer(answer);
            check(c, answer, RuntimeLibrary(c.runtime), boxes, opened);
        }
    }
}

}  // namespace testsupport
