# The test reads the screen size on a connection of its own to compare with the provider.
target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS)
