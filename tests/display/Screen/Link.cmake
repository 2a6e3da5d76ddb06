# The display tests draw on the X server themselves.
target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS)
