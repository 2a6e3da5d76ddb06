# The single-file command reader, the printable names and the listing JSON.
vantrel_fuzz_target(single_file_command SingleFileCommandFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Support/Paths.cpp"
  "${core}/Support/UniqueFd.cpp"
  "${core}/Protocol/LegacyNrbfRecords.cpp"
  "${core}/Protocol/LegacyTSocketDataKindProbe.cpp"
  "${core}/Protocol/LegacyClipboardCodec.cpp"
  "${core}/Session/FileSystemError.cpp"
  "${core}/Session/MacSingleFileProtocol.cpp"
)
target_link_libraries(fuzz_single_file_command PRIVATE PkgConfig::UTF8PROC)
vantrel_fuzz_long_inputs(single_file_command)
