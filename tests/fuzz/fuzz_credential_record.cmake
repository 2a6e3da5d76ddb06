# The credential store's record and key files, read from a private temporary folder.
vantrel_fuzz_target(credential_record CredentialRecordFuzz.cpp
  "${core}/Account/EncryptedAccountCredentialStore.cpp"
  "${PROJECT_SOURCE_DIR}/Platform/System/Crypto.cpp"
  "${PROJECT_SOURCE_DIR}/CVantrelPrivateFile/CVantrelPrivateFile.c"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/SystemLog.cpp"
  "${core}/Support/Text.cpp"
)
target_link_libraries(fuzz_credential_record PRIVATE PkgConfig::OPENSSL PkgConfig::SPDLOG PkgConfig::UTF8PROC)
vantrel_fuzz_long_inputs(credential_record)
