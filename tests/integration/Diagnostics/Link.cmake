# The tests start the real program and the manager stand-in inside a private network namespace.
target_compile_definitions(${target} PRIVATE
  VANTREL_MAC_EXECUTABLE="$<TARGET_FILE:VantrelMac>"
  VANTREL_MANAGER_STANDIN="$<TARGET_FILE:vantrel-manager-standin>")
add_dependencies(${target} VantrelMac vantrel-manager-standin)
