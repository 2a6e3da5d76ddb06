# The status model with real sessions, the manager simulator and the login-server stand-in.
target_link_libraries(${target} PRIVATE VantrelMacModel VantrelLoginServerStandIn)
