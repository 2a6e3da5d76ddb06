# Info.json: the dictionary loader and the update configuration a staged build must pass.
if(NOT TARGET PkgConfig::SPDLOG)
  pkg_check_modules(SPDLOG REQUIRED IMPORTED_TARGET spdlog)
endif()
if(NOT TARGET PkgConfig::UTF8PROC)
  pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
endif()
find_package(nlohmann_json 3.10 REQUIRED)
vantrel_fuzz_target(info_json InfoJSONFuzz.cpp
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/InfoDictionary.cpp"
  "${core}/Update/UpdateConfiguration.cpp"
  "${core}/Update/UpdateEncoding.cpp"
  "${core}/Update/UpdateURL.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/JSONNesting.cpp"
  "${core}/Support/Paths.cpp"
  "${core}/Support/SystemLog.cpp"
  "${core}/Support/Text.cpp"
)
target_include_directories(fuzz_info_json PRIVATE "${PROJECT_SOURCE_DIR}/VantrelMac")
target_link_libraries(fuzz_info_json PRIVATE PkgConfig::SPDLOG PkgConfig::UTF8PROC nlohmann_json::nlohmann_json)
vantrel_fuzz_long_inputs(info_json)
