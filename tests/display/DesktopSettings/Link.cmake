# The watcher under the window's animations: the UI layer and Qt's test helpers.
target_link_libraries(${target} PRIVATE VantrelMacUI Qt6::Test)
target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/QtLeakSuppression.cpp")
