# The window library's own resources: the application icon (compiled in) and the start-up
# resource file, placed where the program looks for its resources (<exe dir>/../share/VantrelMac).
# That folder is what the install copies into versions/<build>/share, the one place an installed
# program reads them from.
target_sources(VantrelMacUI PRIVATE "${CMAKE_CURRENT_LIST_DIR}/VantrelMacUI.qrc")
set(vantrel_resource_dir "${PROJECT_BINARY_DIR}/share/VantrelMac")
file(MAKE_DIRECTORY "${vantrel_resource_dir}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/AutomaticLogin.vantrelstartup"
               "${vantrel_resource_dir}/AutomaticLogin.vantrelstartup" COPYONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/VantrelMacIcon.svg" "${vantrel_resource_dir}/VantrelMac.svg" COPYONLY)

# The desktop session's autostart entry: at login it opens the automatic-login resource with the
# installed program, which then signs in with the saved password by itself. The folder is relative
# to the install prefix unless given absolute (a system install sets it to /etc/xdg/autostart).
set(VANTREL_AUTOSTART_DIR "etc/xdg/autostart" CACHE STRING "Where cmake --install puts the XDG autostart entry")
# The application entry (the desktop's app grid and overview; launching it again brings the running
# program's window back) and its icon in the icon theme every desktop falls back to.
set(VANTREL_APPLICATIONS_DIR "share/applications" CACHE STRING "Where cmake --install puts the application entry")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/VantrelMacIcon.svg" DESTINATION "share/icons/hicolor/scalable/apps"
        RENAME "VantrelMac.svg")
configure_file("${CMAKE_CURRENT_LIST_DIR}/WriteAutostartEntry.cmake.in"
               "${PROJECT_BINARY_DIR}/WriteAutostartEntry.cmake" @ONLY)
install(SCRIPT "${PROJECT_BINARY_DIR}/WriteAutostartEntry.cmake")
