// Fontconfig keeps its caches until the process ends (Qt never calls FcFini); the leak checker of
// the sanitizer build must not count them against the window's tests.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }
