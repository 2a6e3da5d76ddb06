# The development channel's configuration decoder.
vantrel_fuzz_target(ai_channel_configuration AIChannelConfigurationFuzz.cpp
  "${core}/AIChannel/AIChannelConfiguration.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/JSONNesting.cpp"
  "${core}/Support/Paths.cpp"
)
target_link_libraries(fuzz_ai_channel_configuration PRIVATE nlohmann_json::nlohmann_json)
vantrel_fuzz_long_inputs(ai_channel_configuration)
