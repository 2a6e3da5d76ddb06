# The development channel's request parser (nlohmann JSON, header-only).
vantrel_fuzz_target(ai_channel_request AIChannelRequestFuzz.cpp
  "${core}/AIChannel/AIChannelRequest.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/JSONNesting.cpp")
target_link_libraries(fuzz_ai_channel_request PRIVATE nlohmann_json::nlohmann_json)
