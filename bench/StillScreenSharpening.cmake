# Paints on the display it measures and decodes with FFmpeg (a process).
target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS nlohmann_json::nlohmann_json PkgConfig::FMT)
