target_link_libraries(${target} PRIVATE VantrelMacModel PkgConfig::X11LIBS)
