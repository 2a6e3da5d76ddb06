target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS bench_screen_support)
target_compile_definitions(${target} PRIVATE VANTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
