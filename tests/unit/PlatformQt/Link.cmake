target_link_libraries(${target} PRIVATE VantrelPlatformQt Qt6::Core)
