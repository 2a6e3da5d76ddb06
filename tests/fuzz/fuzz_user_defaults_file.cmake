# The settings file reader (user defaults) and the writer's serialisation.
if(NOT TARGET PkgConfig::UTF8PROC)
  pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
endif()
if(NOT TARGET PkgConfig::SPDLOG)
  pkg_check_modules(SPDLOG REQUIRED IMPORTED_TARGET spdlog)
endif()
find_package(nlohmann_json 3.10 REQUIRED)
vantrel_fuzz_target(user_defaults_file UserDefaultsFileFuzz.cpp
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/UserDefaults.cpp"
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/UserDefaultsFile.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/JSONNesting.cpp"
  "${core}/Support/Paths.cpp"
  "${core}/Support/SystemLog.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Support/Uuid.cpp"
)
target_include_directories(fuzz_user_defaults_file PRIVATE "${PROJECT_SOURCE_DIR}/VantrelMac")
target_link_libraries(fuzz_user_defaults_file PRIVATE PkgConfig::UTF8PROC PkgConfig::SPDLOG nlohmann_json::nlohmann_json)
vantrel_fuzz_long_inputs(user_defaults_file)
