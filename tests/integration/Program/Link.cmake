# The tests start the real program.
target_link_libraries(${target} PRIVATE VantrelMacModel)
target_compile_definitions(${target} PRIVATE VANTREL_MAC_EXECUTABLE="$<TARGET_FILE:VantrelMac>")
add_dependencies(${target} VantrelMac)
