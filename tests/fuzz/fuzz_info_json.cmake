# Info.json: the dictionary loader and the update configuration a staged build must pass.
vantrel_fuzz_target(info_json InfoJSONFuzz.cpp
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/Settings/InfoDictionary.cpp"
  "${core}/Update/UpdateConfiguration.cpp"
  "${core}/Update/UpdateEncoding.cpp"
  "${core}/Update/UpdateURL.cpp"
  ${settings_support_sources}
)
target_include_directories(fuzz_info_json PRIVATE "${PROJECT_SOURCE_DIR}/VantrelMac")
target_link_libraries(fuzz_info_json PRIVATE ${settings_support_libraries})
vantrel_fuzz_long_inputs(info_json)
