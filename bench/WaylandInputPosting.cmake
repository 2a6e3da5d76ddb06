# A private GNOME Wayland session of its own (the tests' support).
target_link_libraries(${target} PRIVATE VantrelTestSupport)
