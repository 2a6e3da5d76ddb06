# The observer side of the display tests talks to the X server directly (XRecord, XQueryPointer).
target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS)
# The tests of this folder run as separate processes in parallel but share one pointer and one
# keyboard; they take this lock for the whole process so that they do not see each other's input.
target_compile_definitions(${target} PRIVATE
  VANTREL_DISPLAY_INPUT_LOCK="${CMAKE_CURRENT_BINARY_DIR}/${target}.lock")
