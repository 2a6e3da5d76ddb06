# Helpers shared by every CMakeLists.txt of the project.

# Strict warnings for the project's own code only (third-party headers come in as SYSTEM).
# Every target is compiled position-independent the same way, so one precompiled header fits all.
function(vantrel_strict target)
  target_compile_options(${target} PRIVATE -fPIC
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Werror>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic -Werror>)
endfunction()

# Reuse the shared precompiled header (Asio, fmt, standard library).
function(vantrel_use_pch target)
  if(TARGET vantrel_pch)
    target_precompile_headers(${target} REUSE_FROM vantrel_pch)
  endif()
endfunction()

# Collects the .cpp/.c files below a folder; new files are picked up on the next build.
function(vantrel_glob_sources out dir)
  file(GLOB_RECURSE found CONFIGURE_DEPENDS "${dir}/*.cpp" "${dir}/*.c")
  set(${out} ${found} PARENT_SCOPE)
endfunction()
