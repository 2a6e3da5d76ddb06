# The file metadata reader of the manager payload codecs.
vantrel_fuzz_target(legacy_file_metadata LegacyFileMetadataFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Protocol/LegacyFileTransfer.cpp"
)
target_link_libraries(fuzz_legacy_file_metadata PRIVATE PkgConfig::UTF8PROC)
