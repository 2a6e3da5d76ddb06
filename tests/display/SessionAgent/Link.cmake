# The agent against the relay daemon stand-in from tools/ and the manager simulator, streaming
# the X display it runs on.
target_link_libraries(${target} PRIVATE VantrelMacModel)
if(TARGET VantrelMacDaemon)
  add_dependencies(${target} VantrelMacDaemon)
  target_compile_definitions(${target} PRIVATE VANTREL_RELAY_DAEMON="$<TARGET_FILE:VantrelMacDaemon>")
endif()
