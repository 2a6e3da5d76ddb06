# The session's joining of chunked basic messages, behind the frame decoder.
vantrel_fuzz_target(manager_message_joiner ManagerMessageJoinerFuzz.cpp
  ${frame_sources}
  "${core}/Session/ManagerMessageJoiner.cpp"
)
vantrel_fuzz_long_inputs(manager_message_joiner)
