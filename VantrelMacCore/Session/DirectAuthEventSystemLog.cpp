#include "Session/DirectAuthEventSystemLog.hpp"

namespace vantrel {

void OSLogDirectAuthSystemLogger::mirror(const DirectAuthEvent& event) {
  // The line is rendered only when it will be written.
  if (!logger_.isEnabled(LogLevel::notice)) return;
  logger_.log(LogLevel::notice, event.message());
}

}  // namespace vantrel
