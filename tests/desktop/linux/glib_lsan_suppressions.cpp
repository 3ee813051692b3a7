// GLib, GStreamer and GTK keep process-wide caches (type system, plugin registry, font
// maps, thread pools) that they never free; their allocations come through g_malloc
// without frame pointers, so only the library can be named. Our own leaks still show.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\n"
         "leak:libgobject-2.0.so\n"
         "leak:libgstreamer-1.0.so\n"
         "leak:libgtk-3.so\n"
         "leak:libgdk-3.so\n"
         "leak:libfontconfig.so\n"
         "leak:libpango\n"
         "leak:libcairo.so\n"
         "leak:libdbus-1.so\n";
}
