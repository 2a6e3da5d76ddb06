# The real program and its peers on a private headless GNOME Wayland session.
target_compile_definitions(${target} PRIVATE
  VANTREL_MAC_EXECUTABLE="$<TARGET_FILE:VantrelMac>"
  VANTREL_MANAGER_STANDIN="$<TARGET_FILE:vantrel-manager-standin>"
  VANTREL_RELAY_DAEMON="$<TARGET_FILE:VantrelMacDaemon>"
  VANTREL_WAYLAND_SHOT="$<TARGET_FILE:vantrel-wayland-shot>"
  VANTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(${target} VantrelMac vantrel-manager-standin VantrelMacDaemon vantrel-wayland-shot)
