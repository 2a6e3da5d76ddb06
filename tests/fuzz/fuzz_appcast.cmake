# The appcast reader (pugixml).
vantrel_fuzz_target(appcast AppcastFuzz.cpp
  "${PROJECT_SOURCE_DIR}/Platform/Update/UpdateFrameworkAppcast.cpp"
  "${PROJECT_SOURCE_DIR}/Platform/Update/UpdateFramework.cpp"
  "${PROJECT_SOURCE_DIR}/Platform/Update/UpdateFrameworkSignature.cpp"
  "${core}/Update/UpdateEncoding.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Uuid.cpp"
)
target_link_libraries(fuzz_appcast PRIVATE PkgConfig::PUGIXML PkgConfig::OPENSSL)
vantrel_fuzz_long_inputs(appcast)
