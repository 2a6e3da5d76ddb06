# The update windows under a real window manager: the UI layer and the user driver, Qt's xcb
# platform, and Xlib to read back what the manager made of them.
target_link_libraries(${target} PRIVATE VantrelMacUI Qt6::Test PkgConfig::X11LIBS)
target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/QtLeakSuppression.cpp")
