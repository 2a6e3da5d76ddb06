# The scene client lives in the source tree (tests/support/wayland-client).
target_compile_definitions(${target} PRIVATE VANTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
