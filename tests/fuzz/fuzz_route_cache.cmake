# The manager route cache decoder.
if(NOT TARGET PkgConfig::UTF8PROC)
  pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
endif()
find_package(nlohmann_json 3.10 REQUIRED)
vantrel_fuzz_target(route_cache RouteCacheFuzz.cpp
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/ManagerRouteCache.cpp"
  "${PROJECT_SOURCE_DIR}/VantrelMac/Model/UserDefaults.cpp"
  "${core}/Account/AccountLoginTypes.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/JSONNesting.cpp"
  "${core}/Support/Text.cpp"
)
target_include_directories(fuzz_route_cache PRIVATE "${PROJECT_SOURCE_DIR}/VantrelMac")
target_link_libraries(fuzz_route_cache PRIVATE PkgConfig::UTF8PROC nlohmann_json::nlohmann_json)
vantrel_fuzz_long_inputs(route_cache)
