#pragma once

#include <string>
#include <vector>

namespace vantrel::testing {

// An Xvfb of the test's own, on a display number the server picks and reports through a pipe
// once it accepts connections (nothing waits on a timer); stopped with the object, and with the
// test process even when that dies. Throws std::runtime_error when the server does not start.
// With VANTREL_TEST_DISPLAYS set ("first-last"), only display numbers of that range are used.
class PrivateXServer {
 public:
  explicit PrivateXServer(int width = 640, int height = 480, std::vector<std::string> extraArguments = {},
                          int depth = 24);
  ~PrivateXServer() { stop(); }
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  const std::string& displayName() const noexcept { return displayName_; }
  // Ends the server at once: its clients lose their connection.
  void stop();
  // Stops the server if it runs and starts a new one on the same display number, as when the
  // desktop's X server is restarted. Throws std::runtime_error when it does not come up.
  void restart();

 private:
  // Starts the server on `display` (any free number when empty); false when it does not report
  // that it accepts connections.
  bool launch(const std::string& display);

  int width_;
  int height_;
  int depth_;
  std::vector<std::string> extraArguments_;
  int pid_ = -1;
  std::string displayName_;
};

}  // namespace vantrel::testing
