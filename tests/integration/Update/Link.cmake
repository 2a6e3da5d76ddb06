#The loopback HTTP(S) feed server uses cpp - httplib and the throw -away certificate authority.
target_link_libraries(${target} PRIVATE VantrelLoginServerStandIn)
