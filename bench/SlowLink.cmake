# Paints on the display it measures and reads the screen back (its luma, with the test support).
target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS PkgConfig::FMT bench_screen_support VantrelTestSupport)
