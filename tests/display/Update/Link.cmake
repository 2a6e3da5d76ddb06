# The process test installs the real program (cmake --install), serves its update over loopback
# HTTP and answers its dialogs through the X server; the window test runs the application's updater
# with its Qt dialogs in the test's own process on that server.
target_link_libraries(${target} PRIVATE PkgConfig::X11LIBS VantrelLoginServerStandIn VantrelMacUI)
target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/QtLeakSuppression.cpp")
target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/integration/Update")
target_compile_definitions(${target} PRIVATE VANTREL_BINARY_DIR="${CMAKE_BINARY_DIR}")
if(TARGET VantrelMac)
  add_dependencies(${target} VantrelMac)
endif()
# The relaunch with a manager connected plays the manager with its stand-in.
target_compile_definitions(${target} PRIVATE VANTREL_MANAGER_STANDIN="$<TARGET_FILE:vantrel-manager-standin>")
add_dependencies(${target} vantrel-manager-standin)
