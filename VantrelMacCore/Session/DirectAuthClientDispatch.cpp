// The manager's legacy commands, the outgoing payloads, the system-information reply and the
// clipboard exchange of `DirectAuthClient`.

#include <fmt/format.h>

#include "Protocol/LegacyComInfoPayload.hpp"
#include "Protocol/LegacyNrbfRecords.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"
#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthClientParts.hpp"
#include "Support/Paths.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;
namespace Cmd = LegacyMgrProtocolCommand;

namespace {
Awaitable<std::string> askPasteDestination(DirectAuthClient::PasteDestinationProvider provider) {
  co_return co_await provider();
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Legacy dispatch

Awaitable<void> DirectAuthClient::handleAIEnvelope(Bytes payload) {
  if (!isLive()) co_return;
  const Uuid session = developmentSessionID_;
  std::optional<Bytes> answer = co_await parts_->development->handle(std::move(payload));
  if (!answer || developmentSessionID_ != session || !isLive()) co_return;
  auto sent = co_await vantrel::attempt(sendHeaderBasicPayload(std::move(*answer), activeConnectionNumber_));
  if (!sent) emit(K::InputPacketRejected{"AI response transport failed"});
}

Awaitable<void> DirectAuthClient::handleLegacyHeaderBasic(VantrelFrame frame) {
  if (!isLive() || frame.header.command != VantrelProtocol::headerBasicCommand) co_return;
  const auto kind = LegacyTSocketDataKindProbe::probeKind(frame.payload);
  if (!kind) co_return;
  emit(K::LegacyManagerCommand{*kind, Cmd::displayName(*kind), static_cast<long long>(frame.payload.size()),
                               frame.header.comNum});

  switch (*kind) {
    case Cmd::getComInfo: co_await sendLegacyComInfoResponse(); break;
    case Cmd::getScreen: co_await parts_->screen->handleRequest(std::move(frame.payload), true); break;
    case Cmd::getScreenEnd:
    case Cmd::getScreenEndKeyCheck:
      co_await parts_->screen->stop("manager GET_SCREEN_END", true, false);
      break;
    case Cmd::getScreenInfo: co_await parts_->screen->handleRequest(std::move(frame.payload), false); break;
    case Cmd::getCurrentFolder: co_await sendCurrentPasteDestination(); break;
    case Cmd::setCurrentFolder: {
      const auto answer = LegacyClipboardCodec::decodeCurrentFolder(frame.payload);
      if (!answer) {
        emit(K::ClipboardRejected{"SET_CURRENT_FOLDER payload failed validation"});
      } else if (!answer->message.empty()) {
        emit(K::FileTransferFailed{answer->message});
      } else {
        co_await sendFiles(parts_->localClipboardFiles, answer->folder);
      }
      break;
    }
    case Cmd::getManagerControlV: co_await requestManagerCurrentFolder(); break;
    case Cmd::reboot:
      try {
        parts_->systemCommandExecutor->requestReboot();
        emit(K::SystemCommandAccepted{"reboot"});
      } catch (const std::exception& e) {
        emit(K::SystemCommandFailed{"reboot", localizedDescription(e)});
      }
      break;
    case Cmd::frameControl2A: co_await parts_->screen->requestKeyframe(); break;
    case Cmd::clipboardText:
    case Cmd::clipboardImage:
    case Cmd::clipboardFile: handleIncomingClipboard(frame.payload); break;
    case Cmd::getSingleFiles:
      co_await handleGetSingleFiles(std::move(frame.payload), makeSingleFileContext());
      break;
    case Cmd::setSingleCommands:
      co_await handleSetSingleCommands(std::move(frame.payload), makeSingleFileContext());
      break;
    default: break;  // logged only
  }
}

Awaitable<void> DirectAuthClient::requestManagerCurrentFolder() {
  Bytes envelope;
  try {
    envelope = LegacyClipboardCodec::makeFileNotification(activeConnectionNumber_);
  } catch (const std::exception& e) {
    emit(K::FileTransferFailed{localizedDescription(e)});
    co_return;
  }
  const auto markerEnd = LegacyNrbf::memberMarkerEnd(envelope);
  if (!LegacyTSocketDataKindProbe::probeKind(envelope) || !markerEnd ||
      !writeInteger<std::uint32_t>(envelope, *markerEnd, Cmd::getCurrentFolder, Endian::little)) {
    co_return;
  }
  auto sent = co_await vantrel::attempt(sendHeaderBasicPayload(std::move(envelope), activeConnectionNumber_));
  if (!sent) emit(K::FileTransferFailed{localizedDescription(sent.error())});
}

void DirectAuthClient::handleIncomingClipboard(const Bytes& envelope) {
  std::optional<LegacyClipboardValue> value;
  try {
    value.emplace(LegacyClipboardCodec::decode(envelope));
  } catch (const std::exception& e) {
    emit(K::ClipboardRejected{localizedDescription(e)});
    return;
  }
  parts_->clipboardHandler.post(*value);
  switch (value->kind()) {
    case LegacyClipboardValue::Case::text:
      emit(K::ClipboardReceived{"text", static_cast<long long>(value->textValue().size()), 1});
      break;
    case LegacyClipboardValue::Case::imagePNG:
      emit(K::ClipboardReceived{"image", static_cast<long long>(value->pngData().size()), 1});
      break;
    case LegacyClipboardValue::Case::files: emit(K::ClipboardReceived{"files", 0, 1}); break;
  }
}

// ---------------------------------------------------------------------------------------------
// Outgoing payloads

Awaitable<void> DirectAuthClient::sendHeaderBasicPayload(Bytes payload, std::uint16_t comNum) {
  co_await sendPayload(std::move(payload), VantrelProtocol::headerBasicCommand, comNum);
}

Awaitable<void> DirectAuthClient::sendPayload(Bytes payload, std::uint8_t command, std::uint16_t comNum) {
  // The counter advances even when the payload cannot be cut; every frame of one payload shares
  // the stamp and all of them leave in one send, so payloads never interleave on the wire.
  const auto timestamp = nextTimestamp();
  Bytes wire = VantrelFrameChunker::encodeAll(payload, command, timestamp, comNum);
  Bytes().swap(payload);
  // A manager that stops reading must not hold the receive loop (which sends its replies) for
  // longer than the kernel would keep an unacknowledged send: the connection fails instead.
  auto sent = co_await vantrel::attempt(withTimeout(transport_->send(std::move(wire)), replySendLimit));
  if (sent) co_return;
  const bool timedOut = matchError(
      sent.error(), [](const TimeoutError&) { return true; },
      [](const std::exception_ptr&) { return false; });
  if (!timedOut) std::rethrow_exception(sent.error());
  if (isLive()) co_await failFromReceiveLoop(DirectAuthError::timeout());
  throw NetworkTransportError::timedOut();
}

Awaitable<void> DirectAuthClient::sendCurrentPasteDestination() {
  // The provider runs on its receiver's executor; its copy there keeps it alive while it runs.
  // (No co_await inside a conditional expression: docs/coroutine-rules.md, rule 4.)
  auto folder = Outcome<std::string>::success(paths::defaultPasteDestination());
  if (parts_->pasteDestinationProvider) {
    folder =
        co_await vantrel::attempt(runOn(parts_->pasteDestinationProvider.receiver(),
                                        askPasteDestination(parts_->pasteDestinationProvider.function())));
  }
  std::exception_ptr failure = folder.error();
  if (!failure) {
    Bytes envelope = LegacyClipboardCodec::makeCurrentFolder(*folder, "", activeConnectionNumber_);
    failure =
        (co_await vantrel::attempt(sendHeaderBasicPayload(std::move(envelope), activeConnectionNumber_)))
            .error();
  }
  if (failure) {
    emit(K::FileTransferFailed{localizedDescription(failure)});
    co_return;
  }
  emit(K::PasteDestinationSent{});
}

// ---------------------------------------------------------------------------------------------
// System information

Awaitable<void> DirectAuthClient::sendLegacyComInfoResponse() {
  if (!isLive()) co_return;
  const std::uint16_t comNum = activeConnectionNumber_;
  auto made = co_await vantrel::attempt(parts_->comInfoSnapshotProvider->makeSnapshot());
  if (!made) emit(K::LegacyComInfoSnapshotFailed{localizedDescription(made.error())});
  const LegacyComInfoSnapshot snapshot = made ? *made : LegacyComInfoSnapshot::minimalFallback();
  Bytes payload = LegacyComInfoPayload::makePayload(comNum, snapshot);
  const auto byteCount = static_cast<long long>(payload.size());
  const LegacyComInfoResponseSummary summary(snapshot);

  auto sent = co_await vantrel::attempt(sendHeaderBasicPayload(std::move(payload), comNum));
  if (sent) {
    emit(K::LegacyComInfoResponseSent{comNum, byteCount, summary.diagnosticFragment()});
    co_return;
  }
  const std::string detail = transportDetail(sent.error());
  emit(K::LegacyComInfoResponseFailed{detail});
  if (!intentionalDisconnect_ && state_ == DirectAuthState::authenticated) {
    co_await failFromReceiveLoop(DirectAuthError::transport(detail));
  }
}

// ---------------------------------------------------------------------------------------------
// Clipboard to the manager

Awaitable<void> DirectAuthClient::sendLocalClipboardText(std::string text) {
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self, std::string t) -> Awaitable<void> {
    if (self->state_ != DirectAuthState::authenticated) co_return;
    const auto comNum = self->activeConnectionNumber_;
    Bytes envelope = LegacyClipboardCodec::makeStringDataClass(Cmd::clipboardText, t, comNum);
    co_await self->sendHeaderBasicPayload(std::move(envelope), comNum);
    self->emit(K::ClipboardSent{"text", static_cast<long long>(t.size()), 1});
  }(shared_from_this(), std::move(text)));
}

Awaitable<void> DirectAuthClient::sendLocalClipboardImagePNG(Bytes png) {
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self, Bytes data) -> Awaitable<void> {
    if (self->state_ != DirectAuthState::authenticated) co_return;
    const auto comNum = self->activeConnectionNumber_;
    const auto byteCount = static_cast<long long>(data.size());
    Bytes envelope = LegacyClipboardCodec::makeImagePNG(data, comNum);
    Bytes().swap(data);
    co_await self->sendHeaderBasicPayload(std::move(envelope), comNum);
    self->emit(K::ClipboardSent{"image", byteCount, 1});
  }(shared_from_this(), std::move(png)));
}

Awaitable<void> DirectAuthClient::notifyLocalClipboardFiles(std::vector<std::string> urls) {
  return runOn(
      strand_, [](std::shared_ptr<DirectAuthClient> self, std::vector<std::string> u) -> Awaitable<void> {
        if (self->state_ != DirectAuthState::authenticated) co_return;
        std::vector<std::string> files;
        for (auto& url : u) {
          if (isFileURL(url)) files.push_back(std::move(url));
        }
        self->parts_->localClipboardFiles = std::move(files);
        const auto comNum = self->activeConnectionNumber_;
        Bytes envelope = LegacyClipboardCodec::makeFileNotification(comNum);
        co_await self->sendHeaderBasicPayload(std::move(envelope), comNum);
        self->emit(
            K::ClipboardSent{"files", 0, static_cast<long long>(self->parts_->localClipboardFiles.size())});
      }(shared_from_this(), std::move(urls)));
}

Awaitable<void> DirectAuthClient::reportClipboardBridgeFailure(std::string detail) {
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self, std::string d) -> Awaitable<void> {
    self->emit(K::ClipboardRejected{"Mac pasteboard send failed: " + d});
    co_return;
  }(shared_from_this(), std::move(detail)));
}

}  // namespace vantrel
