// GLib allocates a block in its library constructor and never frees it; LeakSanitizer
// in the sanitizer build would otherwise fail every GStreamer test at exit. Only leaks
// whose stack passes through the dynamic loader's initialisers are suppressed; GLib is
// built without frame pointers, so allocation stacks are taken the slow, complete way.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
