# The clipboard reader of the manager payload codecs.
vantrel_fuzz_target(legacy_clipboard LegacyClipboardFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Protocol/LegacyNrbfRecords.cpp"
  "${core}/Protocol/LegacyTSocketDataKindProbe.cpp"
  "${core}/Protocol/LegacyClipboardCodec.cpp"
)
target_link_libraries(fuzz_legacy_clipboard PRIVATE PkgConfig::UTF8PROC)
vantrel_fuzz_long_inputs(legacy_clipboard)
