#include "AIChannel/MacAIChannel.hpp"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "AIChannel/AIChannelRequest.hpp"
#include "AIChannel/AIWire.hpp"
#include "Activity/UpdateActivityGate.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

using nlohmann::json;

const json commandList = json::array({"status"});

// What the process's update gate holds now: the live leases by kind, whether an installation
// has reserved it, and the updater's status line.
json updateActivity() {
  const auto snapshot = UpdateActivityGate::shared()->snapshot();
  json leases = json::object();
  for (const auto& [kind, count] : snapshot.counts)
    leases[std::string(UpdateActivityGate::rawValue(kind))] = count;
  return json{{"leases", std::move(leases)},
              {"installationCommitted", snapshot.installationCommitted},
              {"updaterStatus", snapshot.updaterStatus}};
}

Bytes errorEnvelope(const json& id, const char* code) {
  return AIWire::encode(json{{"type", "response"}, {"id", id}, {"ok", false}, {"error", {{"code", code}}}});
}

std::string hexLower(const Bytes& bytes) { return hexStringLower(bytes); }

}  // namespace

MacAIChannel::EffectiveUserID MacAIChannel::defaultEffectiveUserID() {
  return [] { return ::geteuid(); };
}

MacAIChannel::MacAIChannel(AIChannelConfiguration configuration, bool accountBound,
                           std::shared_ptr<AILoginManagerLease> loginAuthorization,
                           std::shared_ptr<AIJobService> jobService, TestProbe testProbe,
                           EffectiveUserID effectiveUserID)
    : configuration_(std::move(configuration)),
      accountBound_(accountBound),
      loginAuthorization_(std::move(loginAuthorization)),
      jobService_(std::move(jobService)),
      testProbe_(std::move(testProbe)),
      effectiveUserID_(effectiveUserID ? std::move(effectiveUserID) : defaultEffectiveUserID()) {}

std::shared_ptr<MacAIChannel> MacAIChannel::statusOnly(AIChannelConfiguration configuration,
                                                       TestProbe testProbe, EffectiveUserID effectiveUserID) {
  return std::shared_ptr<MacAIChannel>(new MacAIChannel(std::move(configuration), false, nullptr, nullptr,
                                                        std::move(testProbe), std::move(effectiveUserID)));
}

std::shared_ptr<MacAIChannel> MacAIChannel::accountBound(
    AIChannelConfiguration configuration, std::shared_ptr<AILoginManagerLease> loginAuthorization,
    std::shared_ptr<AIJobService> jobService, EffectiveUserID effectiveUserID) {
  return std::shared_ptr<MacAIChannel>(new MacAIChannel(std::move(configuration), true,
                                                        std::move(loginAuthorization), std::move(jobService),
                                                        {}, std::move(effectiveUserID)));
}

void MacAIChannel::bindManager(const std::string& host) {
  bool byLease = false;
  if (loginAuthorization_ && loginAuthorization_->isValid()) {
    byLease = text::caseInsensitiveEquals(loginAuthorization_->host, host);
  }
  bool byList = false;
  for (const auto& entry : configuration_.allowedManagers) {
    if (text::caseInsensitiveEquals(text::trimmed(entry), host)) {
      byList = true;
      break;
    }
  }
  boundHost_ = host;
  allowedByLease_ = byLease;
  allowedByList_ = byList;
  seenRequestIDs_.clear();
}

bool MacAIChannel::managerAllowed() const {
  if (!boundHost_) return false;
  if (allowedByList_) return true;
  // An allowance that came from the account must end when the account's authorisation does.
  return allowedByLease_ && loginAuthorization_ && loginAuthorization_->isValid();
}

bool MacAIChannel::enabled() const {
  if (!configuration_.enabled) return false;
  if (effectiveUserID_() == 0) return false;
  if (!managerAllowed()) return false;
  if (accountBound_ && !(loginAuthorization_ && loginAuthorization_->isValid())) return false;
  return true;
}

std::optional<Bytes> MacAIChannel::hello() const {
  if (!enabled()) return std::nullopt;
  return AIWire::encode(json{{"type", "hello"}, {"protocol", protocolVersion}, {"commands", commandList}});
}

Awaitable<std::optional<Bytes>> MacAIChannel::handle(Bytes request) {
  try {
    co_return co_await respond(std::move(request));
  } catch (...) {
    // The channel answers every request; an unexpected failure is an error answer, not a throw.
  }
  co_return errorEnvelope(nullptr, "internal_error");
}

Awaitable<std::optional<Bytes>> MacAIChannel::respond(Bytes request) {
  auto parsed = AIChannelRequest::parse(request);
  if (auto* refusal = std::get_if<AIChannelRequest::Refusal>(&parsed)) {
    co_return errorEnvelope(refusal->id.empty() ? json(nullptr) : json(refusal->id), refusal->code.c_str());
  }
  const auto& parsedRequest = std::get<AIChannelRequest>(parsed);
  const std::string id = parsedRequest.id;
  const std::string command = parsedRequest.command;

  if (seenRequestIDs_.count(id) > 0) co_return errorEnvelope(id, "replayed_request_id");
  if (seenRequestIDs_.size() >= maximumRememberedRequestIDs) co_return errorEnvelope(id, "request_id_limit");
  seenRequestIDs_.insert(id);
  if (command != "status") co_return errorEnvelope(id, "unknown_command");
  // Status is read-only and answers whether the channel is enabled, so it is served either way.
  json status = json{{"enabled", enabled()},
                     {"boundManager", boundHost_ ? json(*boundHost_) : json(nullptr)},
                     {"accountBound", accountBound_},
                     {"version", protocolVersion},
                     {"updateActivity", updateActivity()}};

  if (testProbe_) {
    Bytes probe;
    try {
      probe = co_await testProbe_();
    } catch (...) {
      co_return errorEnvelope(id, "probe_failed");
    }
    status["probe"] = hexLower(probe);
  }
  co_return AIWire::encode(json{{"type", "response"}, {"id", id}, {"ok", true}, {"result", status}});
}

}  // namespace vantrel
