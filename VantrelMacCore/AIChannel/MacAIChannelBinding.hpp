#pragma once

// The development channel as a manager session uses it: `MacAIChannel`, the account's login
// lease and the optional paired secure session behind the session's `DevelopmentChannel`.

#include <functional>
#include <memory>

#include "AIChannel/AIAccountLoginContext.hpp"
#include "AIChannel/AIChannelConfiguration.hpp"
#include "AIChannel/AIPairingBinding.hpp"
#include "Session/DevelopmentChannel.hpp"

namespace vantrel {

struct MacAIChannelBindingOptions {
  AIChannelConfiguration configuration;
  // Read anew at every connection and registration when given.
  std::function<AIChannelConfiguration()> reloadConfiguration;
  std::shared_ptr<AIAccountLoginContext> accountContext;     // optional
  std::shared_ptr<AISecureSessionController> secureSession;  // none in the application
};

// One channel per session.
DevelopmentChannelFactory makeMacAIChannelFactory(MacAIChannelBindingOptions options);

}  // namespace vantrel
