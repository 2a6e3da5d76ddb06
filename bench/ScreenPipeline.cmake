target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS bench_screen_support)
