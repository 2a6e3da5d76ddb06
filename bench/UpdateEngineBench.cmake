target_link_libraries(${target} PRIVATE PkgConfig::LIBARCHIVE)
