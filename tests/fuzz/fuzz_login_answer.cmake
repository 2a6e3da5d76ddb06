# The login server's answer and the system connection file: JSON from outside the process.
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
find_package(nlohmann_json 3.10 REQUIRED)
vantrel_fuzz_target(login_answer LoginAnswerFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/JSONNesting.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Support/Paths.cpp"
  "${core}/Account/AccountLoginTypes.cpp"
  "${core}/Account/AccountLoginAnswer.cpp"
  "${core}/Account/SystemConnectionConfiguration.cpp")
target_link_libraries(fuzz_login_answer PRIVATE PkgConfig::UTF8PROC nlohmann_json::nlohmann_json)
