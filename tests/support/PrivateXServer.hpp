#pragma once

#include <string>

namespace vantrel::testing {

// An Xvfb of the test's own, on a display number the server picks and reports through a pipe
// once it accepts connections (nothing waits on a timer); stopped with the object, and with the
// test process even when that dies. Throws std::runtime_error when the server does not start.
class PrivateXServer {
 public:
  explicit PrivateXServer(int width = 640, int height = 480);
  ~PrivateXServer() { stop(); }
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  const std::string& displayName() const noexcept { return displayName_; }
  // Ends the server at once: its clients lose their connection.
  void stop();

 private:
  int pid_ = -1;
  std::string displayName_;
};

}  // namespace vantrel::testing
