# Opens libx264 itself, to vary what the stream's encoder cannot.
target_link_libraries(${target} PRIVATE PkgConfig::X264)
