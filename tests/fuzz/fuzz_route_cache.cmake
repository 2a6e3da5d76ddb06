# The manager route cache decoder.
vantrel_fuzz_target(route_cache RouteCacheFuzz.cpp
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/Connection/ManagerRouteCache.cpp"
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/Settings/UserDefaults.cpp"
  "${core}/Account/AccountLoginTypes.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/JSONNesting.cpp"
  "${core}/Support/Text.cpp"
)
target_include_directories(fuzz_route_cache PRIVATE "${PROJECT_SOURCE_DIR}/VantrelMac")
target_link_libraries(fuzz_route_cache PRIVATE PkgConfig::UTF8PROC nlohmann_json::nlohmann_json)
vantrel_fuzz_long_inputs(route_cache)
