# The PipeWire metadata types the cursor tests build.
target_link_libraries(${target} PRIVATE PkgConfig::PIPEWIRE)
