#include "Session/IncomingFileReceiver.hpp"

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Support/AIChannelError.hpp"

namespace vantrel {

namespace kinds = DirectAuthEventKinds;

namespace {
// Built out of line (docs/coroutine-rules.md, rule 6).
[[gnu::noinline]] DirectAuthEvent::Kind transferFailed(std::string text) {
  return kinds::FileTransferFailed{std::move(text)};
}
}  // namespace

IncomingFileReceiver::IncomingFileReceiver(std::shared_ptr<UpdateActivityGate> gate)
    : gate_(std::move(gate)) {}

IncomingFileReceiver::~IncomingFileReceiver() { reset(); }

std::optional<IncomingFileReceiver::Instant> IncomingFileReceiver::idleDeadline() const noexcept {
  if (!batchLease_ && !writer_.isOpen()) return std::nullopt;
  return lastActivity_ + std::chrono::duration_cast<Instant>(idleLimit);
}

std::vector<DirectAuthEvent::Kind> IncomingFileReceiver::expireIdle(Instant now) {
  std::vector<DirectAuthEvent::Kind> events;
  const auto deadline = idleDeadline();
  if (!deadline || now < *deadline) return events;
  reset();
  events.push_back(transferFailed(std::string(idleText)));
  return events;
}

std::vector<DirectAuthEvent::Kind> IncomingFileReceiver::handleFrame(std::uint8_t command, ByteView payload,
                                                                     Instant now) {
  std::vector<DirectAuthEvent::Kind> events;
  if (command == fileInfoCommand || command == fileDataCommand) lastActivity_ = now;
  try {
    switch (command) {
      case fileInfoCommand: startFile(payload, events); break;
      case fileDataCommand: appendData(payload, events); break;
      case fileEndCommand: finishFile(events); break;
      case fileCancelCommand:
        reset();
        events.push_back(transferFailed(std::string(cancelledText)));
        break;
      default: break;
    }
  } catch (const std::exception& error) {
    fail(error, events);
  }
  return events;
}

void IncomingFileReceiver::startFile(ByteView payload, std::vector<DirectAuthEvent::Kind>& events) {
  // A record while a file is open supersedes that file: its temporary file goes, whatever
  // follows; the batch and its lease go on.
  writer_.abandon();
  record_.reset();
  progress_.reset();
  skippingFailedFile_ = false;

  auto record = LegacyFileMetadata::decode(payload);
  if (!record || record->fileSize < 0) throw LegacyClipboardCodecError::invalidEnvelope();
  if (!batchLease_) {
    batchLease_ = gate_->acquire(UpdateActivityGate::Kind::fileTransfer);
    if (!batchLease_) throw AIChannelError::invalid(std::string(gateCode));
  }
  writer_.begin(safeDestination(*record), record->fileSize);
  events.emplace_back(kinds::FileTransferStarted{std::string(direction), record->total});
  record_ = std::move(record);
}

void IncomingFileReceiver::appendData(ByteView payload, std::vector<DirectAuthEvent::Kind>& events) {
  // The rest of a file that already failed: its failure was reported once, when it failed.
  if (skippingFailedFile_) return;
  if (!writer_.isOpen() || !record_) throw LegacyClipboardCodecError::invalidEnvelope();
  writer_.append(payload);
  const auto received = writer_.received();
  if (progress_.shouldReport(received, record_->fileSize)) {
    events.emplace_back(kinds::FileTransferProgress{std::string(direction),
                                                    static_cast<long long>(record_->currentIndex) + 1,
                                                    record_->total, received, record_->fileSize});
  }
}

void IncomingFileReceiver::finishFile(std::vector<DirectAuthEvent::Kind>& events) {
  // An end frame without an open file (after a failure, say) is ignored.
  skippingFailedFile_ = false;
  if (!writer_.isOpen() || !record_) return;
  const auto record = *record_;
  record_.reset();
  progress_.reset();
  writer_.commit();
  events.emplace_back(kinds::FileTransferCompleted{std::string(direction), record.total});
  // In 64 bits: an index of INT32_MAX must not wrap to a negative "next".
  if (static_cast<std::int64_t>(record.currentIndex) + 1 >= record.total) endBatch();
}

void IncomingFileReceiver::endBatch() noexcept {
  if (batchLease_) {
    batchLease_->end();
    batchLease_.reset();
  }
}

void IncomingFileReceiver::reset() noexcept {
  skippingFailedFile_ = false;
  writer_.abandon();
  record_.reset();
  progress_.reset();
  endBatch();
}

void IncomingFileReceiver::fail(const std::exception& error, std::vector<DirectAuthEvent::Kind>& events) {
  reset();
  skippingFailedFile_ = true;
  events.push_back(transferFailed(localizedDescription(error)));
}

}  // namespace vantrel
