#pragma once
// The requirement check that installers run: is the media runtime there, and
// is it recent enough? If not, the user is told so and may open the page
// where the runtime is to be had.

#include <cstdint>

// Checks the runtime found by the given name (see CheckMediaRuntime); when it
// is missing, has no version or is older than 9.0, shows the "Warning" box
// (Yes/No) and opens the download page unless the answer is No. Always 0.
std::int32_t CheckRequirements(const char* runtimeLibrary);
