# The end-to-end relay tests start the relay daemon stand-in from tools/.
if(TARGET VantrelMacDaemon)
  add_dependencies(${target} VantrelMacDaemon)
  target_compile_definitions(${target} PRIVATE VANTREL_RELAY_DAEMON="$<TARGET_FILE:VantrelMacDaemon>")
endif()
