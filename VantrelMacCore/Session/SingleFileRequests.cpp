#include "Session/SingleFileRequests.hpp"

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Session/MacSingleFileProtocol.hpp"

namespace vantrel {

namespace kinds = DirectAuthEventKinds;

namespace {

// Texts kept out of the coroutine bodies (docs/coroutine-rules.md, rule 5).
constexpr std::string_view gateRefusedText = "Update installation in progress";
constexpr std::string_view badPathText = "GET_SINGLE_FILES path failed validation";
constexpr std::string_view badCommandText = "SET_SINGLE_CMDS payload failed validation";

[[gnu::noinline]] DirectAuthEvent::Kind listFailed(std::string text) {
  return kinds::SingleFileListFailed{std::move(text)};
}

[[gnu::noinline]] DirectAuthEvent::Kind commandFailed(std::string text) {
  return kinds::SingleFileCommandFailed{std::move(text)};
}

[[gnu::noinline]] DirectAuthEvent::Kind listSent(std::string path, long long itemCount) {
  return kinds::SingleFileListSent{std::move(path), itemCount};
}

}  // namespace

Awaitable<void> sendSingleFileList(std::string requestedPath, SingleFileRequestContext context) {
  ActivityLeaseGuard guard(context.gate->acquire(UpdateActivityGate::Kind::fileTransfer));
  if (!guard) {
    context.emit(listFailed(std::string(gateRefusedText)));
    co_return;
  }
  std::optional<std::string> failure;
  try {
    const auto list = MacSingleFileService::list(requestedPath);
    auto envelope =
        LegacyClipboardCodec::makeStringDataClass(getSingleFilesKind, list.jsonString(), context.comNum);
    co_await context.sendHeaderBasicPayload(std::move(envelope));
    context.emit(listSent(list.path, static_cast<long long>(list.entries.size())));
  } catch (const std::exception& error) {
    failure = localizedDescription(error);
  }
  if (failure) context.emit(listFailed(std::move(*failure)));
}

Awaitable<void> handleGetSingleFiles(Bytes envelope, SingleFileRequestContext context) {
  auto path = LegacyClipboardCodec::decodeStringDataClass(envelope, getSingleFilesKind);
  if (!path) {
    context.emit(listFailed(std::string(badPathText)));
    co_return;
  }
  co_await sendSingleFileList(std::move(*path), context);
}

// docs/coroutine-rules.md, rule 7.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
Awaitable<void> handleSetSingleCommands(Bytes envelope, SingleFileRequestContext context) {
  auto text = LegacyClipboardCodec::decodeStringDataClass(envelope, setSingleCommandsKind);
  if (!text) {
    context.emit(commandFailed(std::string(badCommandText)));
    co_return;
  }
  std::string commandText = std::move(*text);
  co_await runSingleFileCommandText(std::move(commandText), std::move(context));
}

Awaitable<void> runSingleFileCommandText(std::string commandText, SingleFileRequestContext context) {
  const auto command = MacSingleFileCommand::decode(commandText);
  if (!command) {
    context.emit(commandFailed(std::string(badCommandText)));
    co_return;
  }
  if (command->command == 4) {
    // Each element is a full path on the Mac; the upload takes its own lease.
    std::vector<std::filesystem::path> files(command->files.begin(), command->files.end());
    co_await sendOutgoingFiles(std::move(files), command->remotePath, context.upload);
    co_return;
  }
  ActivityLeaseGuard guard(context.gate->acquire(UpdateActivityGate::Kind::fileTransfer));
  if (!guard) {
    context.emit(commandFailed(std::string(gateRefusedText)));
    co_return;
  }
  std::string folder;
  std::optional<std::string> failure;
  try {
    folder = MacSingleFileService::execute(*command);
  } catch (const std::exception& error) {
    failure = localizedDescription(error);
  }
  if (failure) {
    context.emit(commandFailed(std::move(*failure)));
    co_return;
  }
  context.emit(kinds::SingleFileCommandCompleted{static_cast<long long>(command->command)});
  // The lease stays held until the fresh listing has been sent.
  co_await sendSingleFileList(std::move(folder), context);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace vantrel
