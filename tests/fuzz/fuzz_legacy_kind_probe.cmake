# The kind probe reader of the manager payload codecs.
vantrel_fuzz_target(legacy_kind_probe LegacyKindProbeFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Protocol/LegacyNrbfRecords.cpp"
  "${core}/Protocol/LegacyTSocketDataKindProbe.cpp"
)
target_link_libraries(fuzz_legacy_kind_probe PRIVATE PkgConfig::UTF8PROC)
