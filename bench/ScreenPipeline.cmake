target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS)
