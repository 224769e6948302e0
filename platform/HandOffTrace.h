#pragma once
// When each picture of a broadcast passes from one stage to the next, for
// the latency benchmark. With LUMACAST_HANDOFF_TRACE naming a file, every
// mark appends a line "stage key microseconds" to it: the key names the
// picture the way that stage knows it (its sample time or its presentation
// time, in milliseconds), the time is the wall clock's. Without it a mark
// costs a test of one flag.
//
// Lines are gathered and written whole with O_APPEND, so that the program
// and the stream runtime's library, each with a trace of its own, can share
// the file. What is gathered is written at least every quarter second and
// when the program ends.

#include <cstdint>

namespace handoff {

bool Enabled();

// The wall clock in microseconds.
std::int64_t NowUs();

void Mark(const char* stage, std::int64_t key);
void MarkAt(const char* stage, std::int64_t key, std::int64_t atUs);

}  // namespace handoff
