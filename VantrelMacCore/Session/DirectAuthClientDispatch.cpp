// The manager's legacy commands, the outgoing payloads, the system-information reply and the
// clipboard exchange of `DirectAuthClient`.

#include <fmt/format.h>

#include "Protocol/LegacyComInfoPayload.hpp"
#include "Protocol/LegacyNrbfRecords.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"
#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthClient.hpp"

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

Awaitable<void> DirectAuthClient::handleLegacyHeaderBasicIfNeeded(VantrelFrame frame) {
  if (!isLive() || frame.header.command != VantrelProtocol::headerBasicCommand) co_return;
  const auto kind = LegacyTSocketDataKindProbe::probeKind(frame.payload);
  if (!kind) co_return;
  emit(K::LegacyManagerCommand{*kind, Cmd::displayName(*kind), static_cast<long long>(frame.payload.size()),
                               frame.header.comNum});

  switch (*kind) {
    case Cmd::getComInfo: co_await sendLegacyComInfoResponse(); break;
    case Cmd::getScreen: co_await handleScreenRequest(std::move(frame.payload), true); break;
    case Cmd::getScreenEnd:
    case Cmd::getScreenEndKeyCheck: co_await stopScreenStream("manager GET_SCREEN_END", true, false); break;
    case Cmd::getScreenInfo: co_await handleScreenRequest(std::move(frame.payload), false); break;
    case Cmd::getCurrentFolder: co_await sendCurrentPasteDestination(); break;
    case Cmd::setCurrentFolder: co_await handleSetCurrentFolder(std::move(frame.payload)); break;
    case Cmd::getManagerControlV: co_await requestManagerCurrentFolder(); break;
    case Cmd::reboot: requestReboot(); break;
    case Cmd::frameControl2A:
      if (screenStreamActive_ && screenStreamer_) {
        try {
          co_await screenStreamer_->requestKeyframe();
        } catch (...) {
          // A keyframe request is a hint; the stream reports its own failures.
        }
      }
      break;
    case Cmd::clipboardText:
    case Cmd::clipboardImage:
    case Cmd::clipboardFile: handleIncomingClipboard(frame.payload); break;
    case Cmd::getSingleFiles: co_await handleGetSingleFiles(std::move(frame.payload)); break;
    case Cmd::setSingleCommands: co_await handleSetSingleCommands(std::move(frame.payload)); break;
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
  std::exception_ptr failure;
  try {
    co_await sendHeaderBasicPayload(std::move(envelope), activeConnectionNumber_);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) emit(K::FileTransferFailed{localizedDescription(failure)});
}

void DirectAuthClient::requestReboot() {
  try {
    systemCommandExecutor_->requestReboot();
  } catch (const std::exception& e) {
    emit(K::SystemCommandFailed{"reboot", localizedDescription(e)});
    return;
  }
  emit(K::SystemCommandAccepted{"reboot"});
}

void DirectAuthClient::handleIncomingClipboard(const Bytes& envelope) {
  std::optional<LegacyClipboardValue> value;
  try {
    value.emplace(LegacyClipboardCodec::decode(envelope));
  } catch (const std::exception& e) {
    emit(K::ClipboardRejected{localizedDescription(e)});
    return;
  }
  clipboardHandler_.post(*value);
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

Awaitable<void> DirectAuthClient::handleSetCurrentFolder(Bytes envelope) {
  const auto answer = LegacyClipboardCodec::decodeCurrentFolder(envelope);
  if (!answer) {
    emit(K::ClipboardRejected{"SET_CURRENT_FOLDER payload failed validation"});
    co_return;
  }
  if (!answer->message.empty()) {
    emit(K::FileTransferFailed{answer->message});
    co_return;
  }
  co_await sendFiles(localClipboardFiles_, answer->folder);
}

Awaitable<void> DirectAuthClient::handleGetSingleFiles(Bytes envelope) {
  auto path = LegacyClipboardCodec::decodeStringDataClass(envelope, Cmd::getSingleFiles);
  if (!path) {
    emit(K::SingleFileListFailed{"GET_SINGLE_FILES path failed validation"});
    co_return;
  }
  co_await sendSingleFileList(std::move(*path));
}

Awaitable<void> DirectAuthClient::handleSetSingleCommands(Bytes envelope) {
  auto text = LegacyClipboardCodec::decodeStringDataClass(envelope, Cmd::setSingleCommands);
  if (!text) {
    emit(K::SingleFileCommandFailed{"SET_SINGLE_CMDS payload failed validation"});
    co_return;
  }
  co_await runSingleFileCommand(std::move(*text));
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
  co_await transport_->send(std::move(wire));
}

Awaitable<void> DirectAuthClient::sendCurrentPasteDestination() {
  std::string folder;
  std::exception_ptr failure;
  if (pasteDestinationProvider_) {
    // The provider runs on its receiver's executor; its copy there keeps it alive while it runs.
    const auto receiver = pasteDestinationProvider_.receiver();
    try {
      folder = co_await runOn(receiver, askPasteDestination(pasteDestinationProvider_.function()));
    } catch (...) {
      failure = std::current_exception();
    }
  } else {
    folder = defaultPasteDestination();
  }
  if (!failure) {
    try {
      Bytes envelope = LegacyClipboardCodec::makeCurrentFolder(folder, "", activeConnectionNumber_);
      co_await sendHeaderBasicPayload(std::move(envelope), activeConnectionNumber_);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    emit(K::FileTransferFailed{localizedDescription(failure)});
    co_return;
  }
  emit(K::PasteDestinationSent{});
}

Awaitable<void> DirectAuthClient::sendSingleFileList(std::string requestedPath) {
  auto lease = updateActivityGate_->acquire(UpdateActivityGate::Kind::fileTransfer);
  if (!lease) {
    emit(K::SingleFileListFailed{"Update installation in progress"});
    co_return;
  }
  std::exception_ptr failure;
  SingleFileListing listing;
  try {
    listing = listSingleFileFolder(requestedPath);
    Bytes envelope =
        LegacyClipboardCodec::makeStringDataClass(Cmd::getSingleFiles, listing.json, activeConnectionNumber_);
    co_await sendHeaderBasicPayload(std::move(envelope), activeConnectionNumber_);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    emit(K::SingleFileListFailed{localizedDescription(failure)});
  } else {
    emit(K::SingleFileListSent{listing.path, listing.itemCount});
  }
  lease->end();
}

// ---------------------------------------------------------------------------------------------
// System information

Awaitable<void> DirectAuthClient::sendLegacyComInfoResponse() {
  if (!isLive()) co_return;
  const std::uint16_t comNum = activeConnectionNumber_;
  std::optional<LegacyComInfoSnapshot> snapshot;
  std::exception_ptr snapshotFailure;
  try {
    snapshot = co_await comInfoSnapshotProvider_->makeSnapshot();
  } catch (...) {
    snapshotFailure = std::current_exception();
  }
  if (!snapshot) {
    emit(K::LegacyComInfoSnapshotFailed{localizedDescription(snapshotFailure)});
    snapshot = LegacyComInfoSnapshot::minimalFallback();
  }
  Bytes payload = LegacyComInfoPayload::makePayload(comNum, *snapshot);
  const auto byteCount = static_cast<long long>(payload.size());
  const LegacyComInfoResponseSummary summary(*snapshot);

  std::exception_ptr sendFailure;
  try {
    co_await sendHeaderBasicPayload(std::move(payload), comNum);
  } catch (...) {
    sendFailure = std::current_exception();
  }
  if (!sendFailure) {
    emit(K::LegacyComInfoResponseSent{comNum, byteCount, summary.diagnosticFragment()});
    co_return;
  }
  const std::string detail = transportDetail(sendFailure);
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
        self->localClipboardFiles_ = std::move(files);
        const auto comNum = self->activeConnectionNumber_;
        Bytes envelope = LegacyClipboardCodec::makeFileNotification(comNum);
        co_await self->sendHeaderBasicPayload(std::move(envelope), comNum);
        self->emit(K::ClipboardSent{"files", 0, static_cast<long long>(self->localClipboardFiles_.size())});
      }(shared_from_this(), std::move(urls)));
}

Awaitable<void> DirectAuthClient::reportClipboardBridgeFailure(std::string detail) {
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self, std::string d) -> Awaitable<void> {
    self->emit(K::ClipboardRejected{"Mac pasteboard send failed: " + d});
    co_return;
  }(shared_from_this(), std::move(detail)));
}

}  // namespace vantrel
