# The window library's own resources: the application icon (compiled in) and the start-up
# resource file, placed where the program looks for its resources (<exe dir>/../share/VantrelMac).
target_sources(VantrelMacUI PRIVATE "${CMAKE_CURRENT_LIST_DIR}/VantrelMacUI.qrc")
set(vantrel_resource_dir "${PROJECT_BINARY_DIR}/share/VantrelMac")
file(MAKE_DIRECTORY "${vantrel_resource_dir}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/AutomaticLogin.vantrelstartup"
               "${vantrel_resource_dir}/AutomaticLogin.vantrelstartup" COPYONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/VantrelMacIcon.svg" "${vantrel_resource_dir}/VantrelMac.svg" COPYONLY)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/AutomaticLogin.vantrelstartup" DESTINATION share/VantrelMac)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/VantrelMacIcon.svg" DESTINATION share/VantrelMac RENAME VantrelMac.svg)
