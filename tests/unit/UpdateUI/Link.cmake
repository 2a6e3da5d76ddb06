target_link_libraries(${target} PRIVATE VantrelMacUI Qt6::Test)
    set_target_properties(${target} PROPERTIES AUTOMOC ON)
target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/QtLeakSuppression.cpp")
