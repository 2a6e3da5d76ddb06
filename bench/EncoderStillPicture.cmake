# Opens libx264 itself, to vary what the stream's encoder cannot; counts CPU as the screen benches.
target_link_libraries(${target} PRIVATE PkgConfig::X264 bench_screen_support)
