#pragma once

#include <string>
#include <vector>

namespace vantrel::testing {

// An Xvfb of the test's own, on a display number the server picks and reports through a pipe
// once it accepts connections (nothing waits on a timer); stopped with the object, and with the
// test process even when that dies. Throws std::runtime_error when the server does not start.
class PrivateXServer {
 public:
  explicit PrivateXServer(int width = 640, int height = 480, std::vector<std::string> extraArguments = {});
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
  void launch(const std::string& display);

  int width_;
  int height_;
  std::vector<std::string> extraArguments_;
  int pid_ = -1;
  std::string displayName_;
};

}  // namespace vantrel::testing
