# The relay socket's message reader and decoders, requests and replies.
vantrel_fuzz_target(relay_message RelayMessageFuzz.cpp
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Text.cpp"
  "${PROJECT_SOURCE_DIR}/Platform/Relay/RelayIPCMessage.cpp")
target_link_libraries(fuzz_relay_message PRIVATE PkgConfig::UTF8PROC)
