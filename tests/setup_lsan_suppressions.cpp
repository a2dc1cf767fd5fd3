// Font lookups keep a cache that the font library never frees, and the
// toolkit's D-Bus connection (on a real X server) keeps buffers that libdbus
// never frees; neither is ours to release, so LeakSanitizer is told to look
// past them in the GUI tests.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
