# The settings file reader (user defaults) and the writer's serialisation.
vantrel_fuzz_target(user_defaults_file UserDefaultsFileFuzz.cpp
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/Settings/UserDefaults.cpp"
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/Settings/UserDefaultsFile.cpp"
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/Settings/JSONOutOfRangeNumbers.cpp"
  ${settings_support_sources}
  "${core}/Support/Uuid.cpp"
)
target_include_directories(fuzz_user_defaults_file PRIVATE "${PROJECT_SOURCE_DIR}/VantrelMac")
target_link_libraries(fuzz_user_defaults_file PRIVATE ${settings_support_libraries})
vantrel_fuzz_long_inputs(user_defaults_file)
