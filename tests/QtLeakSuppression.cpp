// Qt's font stack keeps its caches until the process ends (fontconfig is never finalised, and the
// test programs keep their QApplication for the whole run): the leak checker of the sanitizer
// build must not count them against the tests of the windows and dialogs. Linked into the Qt test
// programs by their Link.cmake.
// The sanitizer runtime looks the hook up by this reserved name.
extern "C" const char* __lsan_default_suppressions();   // NOLINT(bugprone-reserved-identifier)
extern "C" const char* __lsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  return "leak:libfontconfig\n"
         "leak:libfreetype\n"
         "leak:hb_qt_face_get_for_engine\n";
}
