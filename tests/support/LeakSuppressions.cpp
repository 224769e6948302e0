// Leak checking in sanitizer builds: PulseAudio's device provider keeps a
// context from every probe that finds no sound server, GLib allocates once
// while loading and fontconfig keeps its parsed configuration; none is ours.
// Full stacks are needed to tell these apart from our own allocations.
// Linked as an object into the tests that open capture devices.

extern "C" const char* __lsan_default_suppressions() {
    return "leak:pa_context_new_with_proplist\nleak:libpulse.so\nleak:_dl_init\nleak:libfontconfig."
           "so\n";
}
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
