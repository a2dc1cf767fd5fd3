// Font lookups keep a cache that the font library never frees; it is not
// ours to release, so LeakSanitizer is told to look past it in the GUI tests.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
