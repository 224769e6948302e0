#pragma once
// The millisecond clock that sample times and timer arithmetic use: monotonic,
// unaffected by changes of the wall clock, wrapping like a 32-bit count.

#include <cstdint>

std::uint32_t timeGetTime();
