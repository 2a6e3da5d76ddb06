# Runs the screenshot program on a private X server and probes its pictures.
target_link_libraries(${target} PRIVATE Qt6::Gui)
add_dependencies(${target} VantrelMacWindowShots)
target_compile_definitions(${target} PRIVATE
  VANTREL_WINDOW_SHOTS="$<TARGET_FILE:VantrelMacWindowShots>"
  VANTREL_SHOTS_FOLDER="${PROJECT_SOURCE_DIR}/build/shots")
