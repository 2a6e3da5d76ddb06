#include "AIChannel/MacAIChannelBinding.hpp"

#include "AIChannel/AIWire.hpp"
#include "AIChannel/MacAIChannel.hpp"

namespace vantrel {

namespace {

class MacAIChannelBinding final : public DevelopmentChannel {
 public:
  explicit MacAIChannelBinding(MacAIChannelBindingOptions options)
      : options_(std::move(options)), channel_(MacAIChannel::statusOnly(options_.configuration)) {}

  bool owns(ByteView payload) const override { return AIWire::hasPrefix(payload); }

  std::string status() const override {
    if (!channel_->enabled()) return "mcp_disabled";
    if (lease_ && lease_->isValid()) return "mcp_connected_existing_manager";
    return "mcp_account_login_required";
  }

  void reset() override {
    if (options_.reloadConfiguration) channel_ = MacAIChannel::statusOnly(options_.reloadConfiguration());
  }

  std::optional<Bytes> bind(ManagerEndpoint manager) override {
    invalidateLease();
    lease_ = options_.accountContext
                 ? options_.accountContext->lease(manager.host, manager.port, manager.userID,
                                                  manager.connectionNumber)
                 : nullptr;
    const AIChannelConfiguration configuration =
        options_.reloadConfiguration ? options_.reloadConfiguration() : options_.configuration;
    channel_ = MacAIChannel::accountBound(configuration, lease_, nullptr);
    channel_->bindManager(manager.host);
    return channel_->hello();
  }

  void invalidateLease() override {
    if (lease_) lease_->invalidate();
  }

  void setAccountContext(std::shared_ptr<AIAccountLoginContext> context) override {
    invalidateLease();
    options_.accountContext = std::move(context);
  }

  Awaitable<std::optional<Bytes>> handle(Bytes payload) override {
    // The channel answering is the one bound when the request came, even if another is bound
    // while it works.
    return handleWith(channel_, std::move(payload));
  }

  bool hasSecureSession() const override { return options_.secureSession != nullptr; }

  Awaitable<void> startSecureSession(ManagerEndpoint manager) override {
    const auto secure = options_.secureSession;
    if (!secure) co_return;
    std::optional<AIPairingBinding> binding;
    try {
      binding.emplace(manager.userID, manager.host, manager.port,
                      static_cast<int>(manager.connectionNumber) + 1);
    } catch (...) {
      binding.reset();
    }
    if (binding) {
      co_await secure->start(*binding);
    } else {
      co_await secure->stop();
    }
  }

  Awaitable<void> stopSecureSession() override {
    const auto secure = options_.secureSession;
    if (secure) co_await secure->stop();
  }

 private:
  static Awaitable<std::optional<Bytes>> handleWith(std::shared_ptr<MacAIChannel> channel, Bytes payload) {
    co_return co_await channel->handle(std::move(payload));
  }

  MacAIChannelBindingOptions options_;
  std::shared_ptr<MacAIChannel> channel_;
  std::shared_ptr<AILoginManagerLease> lease_;
};

}  // namespace

DevelopmentChannelFactory makeMacAIChannelFactory(MacAIChannelBindingOptions options) {
  return [options = std::move(options)]() -> std::shared_ptr<DevelopmentChannel> {
    return std::make_shared<MacAIChannelBinding>(options);
  };
}

}  // namespace vantrel
