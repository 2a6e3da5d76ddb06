# Starts the real program and its stand-ins as processes (the test helpers do that already).
target_link_libraries(${target} PRIVATE VantrelTestSupport)
target_compile_definitions(${target} PRIVATE
  VANTREL_MAC_EXECUTABLE="$<TARGET_FILE:VantrelMac>"
  VANTREL_MANAGER_STANDIN="$<TARGET_FILE:vantrel-manager-standin>"
  VANTREL_LOGIN_SERVER="$<TARGET_FILE:vantrel-login-server>"
  VANTREL_CREDENTIAL_SEED="$<TARGET_FILE:vantrel-credential-seed>")
add_dependencies(${target} VantrelMac vantrel-manager-standin vantrel-login-server vantrel-credential-seed)
