#include "Session/ManagerMessageJoiner.hpp"

#include <fmt/format.h>

namespace vantrel {

namespace {
constexpr std::uint8_t basicCommand = 1;
}

void ManagerMessageJoiner::reset() noexcept { message_.reset(); }

std::optional<ManagerMessageJoiner::Instant> ManagerMessageJoiner::stallDeadline() const noexcept {
  if (!message_) return std::nullopt;
  return message_->lastChunk + std::chrono::duration_cast<Instant>(stallLimit);
}

std::optional<std::string> ManagerMessageJoiner::expire(Instant now) {
  const auto deadline = stallDeadline();
  if (!deadline || now < *deadline) return std::nullopt;
  const bool report = !message_->discarding;
  const auto received = message_->nextSequence;
  const auto announced = message_->header.numChunks;
  message_.reset();
  if (!report) return std::nullopt;
  return fmt::format("manager message dropped: no chunk for {} s after {} of {} chunks", stallLimit.count(),
                     received, announced);
}

ManagerMessageJoiner::Step ManagerMessageJoiner::push(VantrelFrame frame, Instant now) {
  Step step;
  const VantrelHeader header = frame.header;
  const bool basic = header.command == basicCommand;

  // Frames of other commands pass between the chunks of a message without touching it.
  if (message_ && !basic) {
    step.ready.emplace(std::move(frame));
    return step;
  }
  if (message_) {
    Message& message = *message_;
    const bool continues = basic && header.numChunks == message.header.numChunks &&
                           header.timestamp == message.header.timestamp &&
                           header.comNum == message.header.comNum &&
                           header.sequenceNumber == message.nextSequence;
    if (continues) {
      ++message.nextSequence;
      message.lastChunk = now;
      if (!message.discarding) {
        if (message.payload.size() + frame.payload.size() > maximumMessageBytes) {
          step.dropped.push_back(
              fmt::format("manager message dropped: more than {} bytes", maximumMessageBytes));
          message.discarding = true;
          Bytes().swap(message.payload);
        } else {
          append(message.payload, frame.payload);
        }
      }
      if (message.nextSequence == message.header.numChunks) {
        Message complete = std::move(*message_);
        message_.reset();
        if (!complete.discarding)
          step.ready.emplace(VantrelFrame{complete.header, std::move(complete.payload)});
      }
      return step;
    }
    if (!message.discarding) {
      step.dropped.push_back(fmt::format("manager message dropped: interrupted after {} of {} chunks",
                                         message.nextSequence, message.header.numChunks));
    }
    message_.reset();
  }

  if (basic && header.numChunks > 1) {
    if (header.sequenceNumber != 0) {
      step.dropped.push_back(fmt::format("manager message dropped: chunk {} of {} arrived without its start",
                                         header.sequenceNumber + 1, header.numChunks));
      return step;
    }
    Message message;
    message.header = header;
    message.nextSequence = 1;
    message.lastChunk = now;
    if (header.numChunks > maximumMessageChunks) {
      step.dropped.push_back(fmt::format("manager message dropped: {} chunks announced, at most {} allowed",
                                         header.numChunks, maximumMessageChunks));
      message.discarding = true;
    } else {
      message.payload = std::move(frame.payload);
    }
    message_ = std::move(message);
    return step;
  }

  step.ready.emplace(std::move(frame));
  return step;
}

}  // namespace vantrel
