# `cmake --install <build> --prefix <root>` lays the program out the way the updater installs
# updates: <root>/versions/<build>/{VantrelMac, Info.json, share/VantrelMac/...} and
# <root>/current -> versions/<build>, switched by renaming a new link over the old one.
set(vantrel_version_folder "versions/${VANTREL_BUNDLE_VERSION}")
set(vantrel_resources "${CMAKE_BINARY_DIR}/share/VantrelMac")
file(MAKE_DIRECTORY "${vantrel_resources}")

install(TARGETS VantrelMac RUNTIME DESTINATION "${vantrel_version_folder}")
install(FILES "$<TARGET_FILE_DIR:VantrelMac>/Info.json" DESTINATION "${vantrel_version_folder}")
install(DIRECTORY "${vantrel_resources}" DESTINATION "${vantrel_version_folder}/share")
install(CODE "
  set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  file(REMOVE \"\${root}/.current-install\")
  file(CREATE_LINK \"${vantrel_version_folder}\" \"\${root}/.current-install\" SYMBOLIC)
  file(RENAME \"\${root}/.current-install\" \"\${root}/current\")
  message(STATUS \"current -> ${vantrel_version_folder}\")
")
