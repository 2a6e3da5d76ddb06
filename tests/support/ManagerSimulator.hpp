#pragma once

// Plays the manager over loopback TCP: listens on 127.0.0.1 (an ephemeral port), answers the
// agent's authentication frame as told, records every frame the agent sends, and writes whatever
// the test asks it to write. Frames are parsed and built by hand (ManagerWire), never through the
// project's own codecs.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Support/Async.hpp"
#include "support/ManagerWire.hpp"

namespace vantrel::testing {

class ManagerSimulator {
 public:
  enum class AuthAnswer {
    accept,   // one frame, command 8, payload '1'
    reject,   // one frame, command 8, payload '0'
    garbage,  // twelve bytes that are not a frame
    silence,  // nothing at all
  };

  struct ReceivedFrame {
    int connection = 0;  // 0 for the first accepted connection, 1 for the next, …
    ManagerWire::Frame frame;
  };

  explicit ManagerSimulator(Executor executor);
  ~ManagerSimulator();
  ManagerSimulator(const ManagerSimulator&) = delete;
  ManagerSimulator& operator=(const ManagerSimulator&) = delete;

  std::uint16_t port() const;

  // How the next authentication frames are answered (default: accept).
  void setAuthAnswer(AuthAnswer answer);
  // Exact bytes written in answer to an authentication frame (replaces the mode).
  void setAuthReply(Bytes raw);

  // Writes bytes to the newest connection, in order with every other write.
  void send(Bytes raw);
  // While paused the simulator reads nothing, so the agent's sends back up as with a slow
  // manager; resuming reads everything that waited.
  void pauseReading(bool paused);
  // The kernel receive buffer of connections accepted from now on (a small one makes a paused
  // reader felt by the agent sooner).
  void setReceiveBufferSize(int bytes);
  // Closes the newest connection (the agent reads end of stream).
  void closeClient();
  // Stops listening and closes every connection.
  void stop();

  int acceptedCount() const;
  bool clientOpen() const;
  // Every frame the agent has sent, in arrival order.
  std::vector<ReceivedFrame> frames() const;
  std::vector<ManagerWire::Frame> framesOf(int connection) const;
  std::size_t frameCount() const;
  // The frames of one connection with a given command.
  std::vector<ManagerWire::Frame> framesWithCommand(std::uint8_t command, int connection = -1) const;
  // True once the agent has sent bytes that are not a frame.
  bool sawMalformedBytes() const;
  // Bytes written to all connections so far (after the write completed).
  std::size_t bytesWritten() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace vantrel::testing
