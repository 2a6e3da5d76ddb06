# The update archive extractor (libarchive), into a private temporary folder.
vantrel_fuzz_target(update_archive UpdateArchiveFuzz.cpp
  "${PROJECT_SOURCE_DIR}/Platform/Update/UpdateFrameworkArchive.cpp"
  "${PROJECT_SOURCE_DIR}/Platform/Update/UpdateFramework.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
)
target_link_libraries(fuzz_update_archive PRIVATE PkgConfig::LIBARCHIVE PkgConfig::UTF8PROC)
vantrel_fuzz_long_inputs(update_archive)
