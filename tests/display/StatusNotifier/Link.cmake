# Runs the real program on a private X server and a private session bus, with and without a
# stand-in tray host (tests/support/status-notifier/watcher.py) on that bus.
find_package(X11 REQUIRED)
target_link_libraries(${target} PRIVATE X11::X11 X11::Xtst)
target_compile_definitions(${target} PRIVATE
  VANTREL_MAC_EXECUTABLE="$<TARGET_FILE:VantrelMac>"
  VANTREL_TRAY_HOST_STANDIN="${PROJECT_SOURCE_DIR}/tests/support/status-notifier/watcher.py")
add_dependencies(${target} VantrelMac)
