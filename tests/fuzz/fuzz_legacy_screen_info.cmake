# The screen info reader of the manager payload codecs.
vantrel_fuzz_target(legacy_screen_info LegacyScreenInfoFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Protocol/LegacyNrbfRecords.cpp"
  "${core}/Protocol/LegacyTSocketDataKindProbe.cpp"
  "${core}/Protocol/LegacyScreenInfo.cpp"
)
target_link_libraries(fuzz_legacy_screen_info PRIVATE PkgConfig::UTF8PROC)
