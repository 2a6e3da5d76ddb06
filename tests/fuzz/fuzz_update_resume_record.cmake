# The update-resume record decoder.
if(NOT TARGET PkgConfig::SPDLOG)
  pkg_check_modules(SPDLOG REQUIRED IMPORTED_TARGET spdlog)
endif()
if(NOT TARGET PkgConfig::UTF8PROC)
  pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
endif()
find_package(nlohmann_json 3.10 REQUIRED)
vantrel_fuzz_target(update_resume_record UpdateResumeRecordFuzz.cpp
  "${core}/Update/UpdateResumeStore.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/JSONNesting.cpp"
  "${core}/Support/Paths.cpp"
  "${core}/Support/SystemLog.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Support/Uuid.cpp"
)
target_link_libraries(fuzz_update_resume_record PRIVATE PkgConfig::SPDLOG PkgConfig::UTF8PROC nlohmann_json::nlohmann_json)
vantrel_fuzz_long_inputs(update_resume_record)
