#pragma once

// The programs a process-level test starts, where the build put them. Each test target defines
// the paths of the programs it runs (its Link.cmake); only those are declared here.

#include <string>

namespace vantrel::testing::programs {

#ifdef VANTREL_MAC_EXECUTABLE
inline const std::string programPath = VANTREL_MAC_EXECUTABLE;
#endif
#ifdef VANTREL_MANAGER_STANDIN
inline const std::string standInPath = VANTREL_MANAGER_STANDIN;
#endif
#ifdef VANTREL_RELAY_DAEMON
inline const std::string relayPath = VANTREL_RELAY_DAEMON;
#endif
#ifdef VANTREL_LOGIN_SERVER
inline const std::string loginServerPath = VANTREL_LOGIN_SERVER;
#endif
#ifdef VANTREL_CREDENTIAL_SEED
inline const std::string credentialSeedPath = VANTREL_CREDENTIAL_SEED;
#endif

}  // namespace vantrel::testing::programs
