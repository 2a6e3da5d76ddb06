# The loopback HTTPS login-server stand-in.
target_link_libraries(${target} PRIVATE VantrelLoginServerStandIn)
