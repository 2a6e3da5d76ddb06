# g++ 12 at -O1 with -fsanitize=thread reports an out-of-bounds access inside libstdc++'s string
# concatenation for a plain `std::string(86, 'A') + "=="` in the signature tests (a false positive
# of its inliner, not of the test). Kept a warning for this one file, not an error, and nowhere else.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set_source_files_properties("${folder}/UpdateSignatureAndAppcastTests.cpp"
    PROPERTIES COMPILE_OPTIONS "-Wno-error=array-bounds")
endif()
