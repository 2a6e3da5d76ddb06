# The single-instance hand-over between two processes of this test (the window library runs on
# the offscreen platform).
target_link_libraries(${target} PRIVATE VantrelMacUI)
target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/QtLeakSuppression.cpp")
