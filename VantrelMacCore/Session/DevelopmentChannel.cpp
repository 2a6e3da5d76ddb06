#include "Session/DevelopmentChannel.hpp"

namespace vantrel {

namespace {
class DisabledDevelopmentChannel final : public DevelopmentChannel {
 public:
  bool owns(ByteView) const override { return false; }
  std::string status() const override { return "mcp_disabled"; }
  void reset() override {}
  std::optional<Bytes> bind(ManagerEndpoint) override { return std::nullopt; }
  void invalidateLease() override {}
  void setAccountContext(std::shared_ptr<AIAccountLoginContext>) override {}
  Awaitable<std::optional<Bytes>> handle(Bytes) override { co_return std::nullopt; }
  bool hasSecureSession() const override { return false; }
  Awaitable<void> startSecureSession(ManagerEndpoint) override { co_return; }
  Awaitable<void> stopSecureSession() override { co_return; }
};
}  // namespace

std::shared_ptr<DevelopmentChannel> makeDisabledDevelopmentChannel() {
  return std::make_shared<DisabledDevelopmentChannel>();
}

}  // namespace vantrel
