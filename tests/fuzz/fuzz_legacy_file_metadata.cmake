# The file metadata reader of the manager payload codecs.
if(NOT TARGET PkgConfig::UTF8PROC)
  pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
endif()
vantrel_fuzz_target(legacy_file_metadata LegacyFileMetadataFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Protocol/LegacyFileTransfer.cpp"
)
target_link_libraries(fuzz_legacy_file_metadata PRIVATE PkgConfig::UTF8PROC)
