# The tests start the real program and its peers as processes and look at the X server.
find_package(X11 REQUIRED)
target_link_libraries(${target} PRIVATE X11::X11)
target_compile_definitions(${target} PRIVATE
  VANTREL_MAC_EXECUTABLE="$<TARGET_FILE:VantrelMac>"
  VANTREL_MANAGER_STANDIN="$<TARGET_FILE:vantrel-manager-standin>"
  VANTREL_RELAY_DAEMON="$<TARGET_FILE:VantrelMacDaemon>"
  VANTREL_LOGIN_SERVER="$<TARGET_FILE:vantrel-login-server>"
  VANTREL_CREDENTIAL_SEED="$<TARGET_FILE:vantrel-credential-seed>")
add_dependencies(${target} VantrelMac vantrel-manager-standin VantrelMacDaemon vantrel-login-server
  vantrel-credential-seed)
# The autostart test installs the program with cmake --install into its temporary folder.
target_compile_definitions(${target} PRIVATE VANTREL_BINARY_DIR="${CMAKE_BINARY_DIR}")
