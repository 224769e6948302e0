#pragma once
// A test that cannot run here says why: as a skip on a developer's machine,
// and as a failure under CI=true, where the scripts have installed all that
// any test needs. Used like GTEST_SKIP():
//   if (!HaveProgram("ffmpeg")) LUMACAST_SKIP() << "ffmpeg is not installed";

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {

inline bool SkipsFail() {
    const char* ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

}  // namespace testsupport

#define LUMACAST_SKIP()                                                                        \
    return ::testing::internal::AssertHelper(                                                  \
               ::testsupport::SkipsFail() ? ::testing::TestPartResult::kFatalFailure           \
                                          : ::testing::TestPartResult::kSkip,                  \
               __FILE__, __LINE__,                                                             \
               ::testsupport::SkipsFail() ? "needed under CI=true, but missing" : "Skipped") = \
               ::testing::Message()
