# The update notice's windows as the X server holds them: the UI layer, Qt's xcb platform and Xlib
# to read the properties back.
target_link_libraries(${target} PRIVATE VantrelMacUI Qt6::Test PkgConfig::X11LIBS)
target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/QtLeakSuppression.cpp")
