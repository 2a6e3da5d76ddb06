# The login server's answer and the system connection file: JSON from outside the process.
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
