# The update-resume record decoder.
vantrel_fuzz_target(update_resume_record UpdateResumeRecordFuzz.cpp
  "${core}/Update/UpdateResumeStore.cpp"
  ${settings_support_sources}
  "${core}/Support/Uuid.cpp"
)
target_link_libraries(fuzz_update_resume_record PRIVATE ${settings_support_libraries})
vantrel_fuzz_long_inputs(update_resume_record)
