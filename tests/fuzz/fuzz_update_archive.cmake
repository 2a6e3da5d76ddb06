# The update archive extractor (libarchive), into a private temporary folder.
if(NOT TARGET PkgConfig::LIBARCHIVE)
  pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
endif()
if(NOT TARGET PkgConfig::UTF8PROC)
  pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
endif()
vantrel_fuzz_target(update_archive UpdateArchiveFuzz.cpp
  "${PROJECT_SOURCE_DIR}/Platform/UpdateFrameworkArchive.cpp"
  "${PROJECT_SOURCE_DIR}/Platform/UpdateFramework.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
)
target_link_libraries(fuzz_update_archive PRIVATE PkgConfig::LIBARCHIVE PkgConfig::UTF8PROC)
vantrel_fuzz_long_inputs(update_archive)
