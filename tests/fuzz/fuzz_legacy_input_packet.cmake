# The input packet reader of the manager payload codecs.
vantrel_fuzz_target(legacy_input_packet LegacyInputPacketFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Protocol/LegacyInputPacket.cpp"
)
target_link_libraries(fuzz_legacy_input_packet PRIVATE PkgConfig::UTF8PROC)
