# The destination of an incoming file record.
vantrel_fuzz_target(incoming_file_destination IncomingFileDestinationFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Text.cpp"
  "${core}/Support/Uuid.cpp"
  "${core}/Protocol/LegacyFileTransfer.cpp"
  "${core}/Protocol/LegacyNrbfRecords.cpp"
  "${core}/Protocol/LegacyTSocketDataKindProbe.cpp"
  "${core}/Protocol/LegacyClipboardCodec.cpp"
  "${core}/Support/UniqueFd.cpp"
  "${core}/Session/FileSystemError.cpp"
  "${core}/Session/IncomingFileWriter.cpp"
)
target_link_libraries(fuzz_incoming_file_destination PRIVATE PkgConfig::UTF8PROC)
