#pragma once

// The manager's file frames as the session handles them: a file-information record (command
// 10) starts a file, data frames (12) append to it, an end frame (15) completes it, a cancel
// frame (21) abandons the batch. A batch holds one `fileTransfer` activity lease from its first
// file to the end of the file whose index is the last of the batch. Each frame is handled to its
// end without suspending; the outcome is the list of session events to emit, in order. Nothing
// is ever sent back to the manager from here. A batch that stops (no record or data for
// `idleLimit`, on the caller's clock) is abandoned and loses its lease.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Activity/UpdateActivityGate.hpp"
#include "Protocol/LegacyFileTransfer.hpp"
#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/FileTransferProgress.hpp"
#include "Session/IncomingFileWriter.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class IncomingFileReceiver {
 public:
  static constexpr std::uint8_t fileInfoCommand = VantrelProtocol::headerFileInfoCommand;
  static constexpr std::uint8_t fileDataCommand = VantrelProtocol::headerFileDataCommand;
  static constexpr std::uint8_t fileEndCommand = VantrelProtocol::headerFileDataCompleteCommand;
  static constexpr std::uint8_t fileCancelCommand = VantrelProtocol::headerFileCancelCommand;
  // The four commands above: the frames this receiver handles.
  static constexpr bool isFileCommand(std::uint8_t command) noexcept {
    return command == fileInfoCommand || command == fileDataCommand || command == fileEndCommand ||
           command == fileCancelCommand;
  }
  static constexpr std::string_view direction = "download";
  static constexpr std::string_view cancelledText = "Transfer cancelled by manager";
  static constexpr std::string_view gateCode = "update_installation_in_progress";
  static constexpr std::chrono::seconds idleLimit{60};
  static constexpr std::string_view idleText = "File transfer abandoned: nothing from the manager for 60 s";
  using Instant = std::chrono::nanoseconds;  // a point on the caller's steady clock

  explicit IncomingFileReceiver(std::shared_ptr<UpdateActivityGate> gate);
  // Like `reset()`: an unfinished file is removed, the lease ends.
  ~IncomingFileReceiver();
  IncomingFileReceiver(const IncomingFileReceiver&) = delete;
  IncomingFileReceiver& operator=(const IncomingFileReceiver&) = delete;

  // Handles one frame of command 10, 12, 15 or 21 (others are ignored) and returns the events.
  std::vector<DirectAuthEvent::Kind> handleFrame(std::uint8_t command, ByteView payload,
                                                 Instant now = Instant{});
  // When the running batch is abandoned for want of records and data, if one runs.
  std::optional<Instant> idleDeadline() const noexcept;
  // Abandons the batch when `now` is past its idle deadline; the events to emit.
  std::vector<DirectAuthEvent::Kind> expireIdle(Instant now);

  // The session was reset (disconnect, failure, new connection): the unfinished file's
  // temporary file is removed, the batch lease ends, no event.
  void reset() noexcept;

  bool isReceivingFile() const noexcept { return writer_.isOpen(); }
  bool holdsBatchLease() const noexcept { return batchLease_ != nullptr; }
  const std::optional<LegacyFileMetadata>& currentRecord() const noexcept { return record_; }
  const IncomingFileWriter& writer() const noexcept { return writer_; }

 private:
  void startFile(ByteView payload, std::vector<DirectAuthEvent::Kind>& events);
  void appendData(ByteView payload, std::vector<DirectAuthEvent::Kind>& events);
  void finishFile(std::vector<DirectAuthEvent::Kind>& events);
  void endBatch() noexcept;
  void fail(const std::exception& error, std::vector<DirectAuthEvent::Kind>& events);

  std::shared_ptr<UpdateActivityGate> gate_;
  std::shared_ptr<UpdateActivityGate::Lease> batchLease_;
  IncomingFileWriter writer_;
  std::optional<LegacyFileMetadata> record_;
  FileTransferProgressThrottle progress_;
  Instant lastActivity_{};
  // A file failed (refused destination, failed write, …): its remaining data frames are dropped
  // without another report until its end frame or the next record.
  bool skippingFailedFile_ = false;
};

}  // namespace vantrel
