# Paints on the display it measures (Xlib) and runs the previous conversion beside the current one.
target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS vantrel::yuv bench_screen_support)
