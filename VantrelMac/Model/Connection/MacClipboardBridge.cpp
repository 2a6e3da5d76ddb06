#include "Model/Connection/MacClipboardBridge.hpp"

#include <asio/redirect_error.hpp>

#include "Platform/Ports/Pasteboard.hpp"
#include "Session/DirectAuthClient.hpp"
#include "Support/Outcome.hpp"
#include "Support/Paths.hpp"

namespace vantrel {
namespace {

class DirectAuthClipboardSender final : public LocalClipboardSending {
 public:
  explicit DirectAuthClipboardSender(std::shared_ptr<DirectAuthClient> client) : client_(std::move(client)) {}

  Awaitable<void> sendLocalClipboardText(std::string text) override {
    return client_->sendLocalClipboardText(std::move(text));
  }
  Awaitable<void> sendLocalClipboardImagePNG(Bytes png) override {
    return client_->sendLocalClipboardImagePNG(std::move(png));
  }
  Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string> urls) override {
    return client_->notifyLocalClipboardFiles(std::move(urls));
  }
  Awaitable<void> reportClipboardBridgeFailure(std::string detail) override {
    return client_->reportClipboardBridgeFailure(std::move(detail));
  }

 private:
  std::shared_ptr<DirectAuthClient> client_;
};

// One client's share of a broadcast: a failure is reported to that client and goes no further.
Awaitable<void> sendToOne(std::shared_ptr<LocalClipboardSending> client,
                          std::function<Awaitable<void>(std::shared_ptr<LocalClipboardSending>)> operation) {
  const auto sent = co_await vantrel::attempt(operation(client));
  if (!sent) co_await client->reportClipboardBridgeFailure(localizedDescription(sent.error()));
}

}  // namespace

std::shared_ptr<LocalClipboardSending> makeLocalClipboardSender(std::shared_ptr<DirectAuthClient> client) {
  return std::make_shared<DirectAuthClipboardSender>(std::move(client));
}

std::shared_ptr<MacClipboardBridge> MacClipboardBridge::create(
    Executor mainExecutor, std::shared_ptr<Pasteboard> pasteboard,
    std::vector<std::shared_ptr<LocalClipboardSending>> authClients) {
  return std::shared_ptr<MacClipboardBridge>(
      new MacClipboardBridge(std::move(mainExecutor), std::move(pasteboard), std::move(authClients)));
}

MacClipboardBridge::MacClipboardBridge(Executor mainExecutor, std::shared_ptr<Pasteboard> pasteboard,
                                       std::vector<std::shared_ptr<LocalClipboardSending>> authClients)
    : executor_(std::move(mainExecutor)),
      pasteboard_(std::move(pasteboard)),
      authClients_(std::move(authClients)),
      observedChangeCount_(pasteboard_->changeCount()) {}

MacClipboardBridge::~MacClipboardBridge() { stop(); }

void MacClipboardBridge::start() {
  if (timer_) return;
  observedChangeCount_ = pasteboard_->changeCount();
  timer_ = std::make_shared<Timer>(executor_);
  // The first tick is one interval after this call, however late the task itself starts.
  spawnTask(executor_, pollLoop(weak_from_this(), timer_, VantrelClock::now() + pollInterval),
            "clipboard poll", TaskStart::afterCaller);
}

void MacClipboardBridge::stop() {
  if (!timer_) return;
  timer_->cancel();
  timer_.reset();
}

void MacClipboardBridge::setAuthClients(std::vector<std::shared_ptr<LocalClipboardSending>> clients) {
  authClients_ = std::move(clients);
}

Awaitable<void> MacClipboardBridge::pollLoop(std::weak_ptr<MacClipboardBridge> weak,
                                             std::shared_ptr<Timer> timer, VantrelClock::time_point next) {
  for (;;) {
    timer->expires_at(next);
    std::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    auto self = weak.lock();
    // A stopped poll (or a newer one after stop and start) ends here.
    if (ec || !self || self->timer_ != timer) co_return;
    self->poll();
    next += pollInterval;
    // After a long stall, tick from now rather than firing a burst of missed ticks.
    if (const auto now = VantrelClock::now(); next <= now) next = now + pollInterval;
  }
}

void MacClipboardBridge::poll() {
  if (pasteboard_->changeCount() == observedChangeCount_) return;
  observedChangeCount_ = pasteboard_->changeCount();
  if (remoteValueWritten_ && pasteboard_->holdsLastWrite()) {
    // The toolkit reported a manager's value late: it is still on the clipboard, not a copy.
    return;
  }
  remoteValueWritten_ = false;

  if (auto urls = pasteboard_->fileURLs(); !urls.empty()) {
    broadcast([urls = std::move(urls)](std::shared_ptr<LocalClipboardSending> client) {
      return client->notifyLocalClipboardFiles(urls);
    });
    return;
  }
  auto png = pasteboard_->pngData();
  if (!png || png->empty()) png = pasteboard_->otherImageAsPNG();
  if (png && !png->empty()) {
    broadcast([png = std::move(*png)](std::shared_ptr<LocalClipboardSending> client) {
      return client->sendLocalClipboardImagePNG(png);
    });
    return;
  }
  if (auto text = pasteboard_->text(); text && !text->empty()) {
    broadcast([text = std::move(*text)](std::shared_ptr<LocalClipboardSending> client) {
      return client->sendLocalClipboardText(text);
    });
  }
}

void MacClipboardBridge::broadcast(Operation operation) {
  // Every client gets its own task: one slow or failing session does not hold up the others.
  for (const auto& client : authClients_) {
    if (!client) continue;
    spawnTask(executor_, sendToOne(client, operation), "clipboard send", TaskStart::afterCaller);
  }
}

void MacClipboardBridge::applyRemote(const LegacyClipboardValue& value) {
  switch (value.kind()) {
    case LegacyClipboardValue::Case::text:
      pasteboard_->clear();
      pasteboard_->writeText(value.textValue());
      break;
    case LegacyClipboardValue::Case::imagePNG:
      // Bytes that are no image leave the clipboard, and what the poll has seen, untouched.
      if (!pasteboard_->decodesAsImage(value.pngData())) return;
      pasteboard_->clear();
      pasteboard_->writePNG(value.pngData());
      break;
    case LegacyClipboardValue::Case::files:
      // The files arrive by file transfer. Nothing was written, so nothing needs hiding from the
      // poll: a copy the user made just before still goes out at the next tick.
      return;
  }
  observedChangeCount_ = pasteboard_->changeCount();
  remoteValueWritten_ = true;
}

std::string MacClipboardBridge::currentPasteDestination() { return paths::defaultPasteDestination(); }

}  // namespace vantrel
