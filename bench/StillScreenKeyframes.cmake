# Opens libx264 itself (with a reconstruction PSNR and, for --before, libx264's own interval).
target_link_libraries(${target} PRIVATE PkgConfig::X264 bench_screen_support)
