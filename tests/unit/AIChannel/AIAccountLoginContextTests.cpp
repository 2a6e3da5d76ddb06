#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AIChannel/AIAccountLoginContext.hpp"
#include "AIChannel/AIPairingBinding.hpp"
#include "Support/AIChannelError.hpp"

namespace vantrel {
namespace {

AccountLoginResult login(std::string account = "acme", int slot = 3) {
  AccountLoginResult result;
  result.assignedSlot = slot;
  result.accountID = std::move(account);
  result.routes = {
      AccountManagerRoute{1, "10.0.0.2, Mgr-A.local", "203.0.113.7", 9000},
      AccountManagerRoute{2, "10.0.0.3", "", 9100},
  };
  return result;
}

TEST(AIAccountLoginContext, LeaseConditions) {
  const auto context = AIAccountLoginContext::create(login());
  struct Row {
    const char* name;
    std::string host;
    std::uint16_t port;
    std::string user;
    std::uint16_t comNum;
    std::optional<int> managerIndex;
  };
  const std::vector<Row> rows{
      {"inside host", "10.0.0.2", 9000, "acme", 2, 1},
      {"second inside host, other case", "mgr-a.LOCAL", 9000, "acme", 2, 1},
      {"public host", "203.0.113.7", 9000, "acme", 2, 1},
      {"second route", "10.0.0.3", 9100, "acme", 2, 2},
      {"port of another route", "10.0.0.2", 9100, "acme", 2, std::nullopt},
      {"unknown host", "10.0.0.9", 9000, "acme", 2, std::nullopt},
      {"user differs in case", "10.0.0.2", 9000, "ACME", 2, std::nullopt},
      {"user differs", "10.0.0.2", 9000, "other", 2, std::nullopt},
      {"slot mismatch", "10.0.0.2", 9000, "acme", 3, std::nullopt},
      {"slot mismatch below", "10.0.0.2", 9000, "acme", 1, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto lease = context->lease(row.host, row.port, row.user, row.comNum);
    if (!row.managerIndex) {
      EXPECT_EQ(lease, nullptr);
      continue;
    }
    ASSERT_NE(lease, nullptr);
    EXPECT_EQ(lease->managerIndex, *row.managerIndex);
    EXPECT_EQ(lease->host, row.host);
    EXPECT_EQ(lease->userID, row.user);
    EXPECT_EQ(lease->port, row.port);
    EXPECT_EQ(lease->comNum, row.comNum);
    EXPECT_EQ(lease->context, context);
    EXPECT_TRUE(lease->isValid());
  }
}

TEST(AIAccountLoginContext, HighestConnectionNumberDoesNotWrap) {
  // Connection number 65535 is slot 65536; it must never match slot 0.
  EXPECT_EQ(AIAccountLoginContext::create(login("acme", 0))->lease("10.0.0.2", 9000, "acme", 65535), nullptr);
  EXPECT_NE(AIAccountLoginContext::create(login("acme", 65536))->lease("10.0.0.2", 9000, "acme", 65535),
            nullptr);
}

TEST(AIAccountLoginContext, AccountlessContextAuthorisesNothing) {
  EXPECT_EQ(AIAccountLoginContext::create(login("", 3))->lease("10.0.0.2", 9000, "", 2), nullptr);
  EXPECT_EQ(AIAccountLoginContext::create(login("  ", 3))->lease("10.0.0.2", 9000, "  ", 2), nullptr);
}

TEST(AIAccountLoginContext, RefreshAndRevoke) {
  const auto context = AIAccountLoginContext::create(login());
  const auto lease = context->lease("10.0.0.2", 9000, "acme", 2);
  ASSERT_NE(lease, nullptr);

  // Same account and slot, routes that still carry the endpoint: still valid.
  auto same = login();
  same.routes = {AccountManagerRoute{1, "10.0.0.2", "", 9000}};
  context->refresh(same);
  EXPECT_TRUE(lease->isValid());

  // Same account and slot, the endpoint moved to another manager index: no longer valid.
  auto moved = login();
  moved.routes = {AccountManagerRoute{4, "10.0.0.2", "", 9000}};
  context->refresh(moved);
  EXPECT_FALSE(lease->isValid());
  EXPECT_TRUE(context->isValid());
  const auto newLease = context->lease("10.0.0.2", 9000, "acme", 2);
  ASSERT_NE(newLease, nullptr);
  EXPECT_EQ(newLease->managerIndex, 4);

  // Another slot: the context becomes invalid, and so does every lease taken from it.
  context->refresh(login("acme", 4));
  EXPECT_FALSE(context->isValid());
  EXPECT_FALSE(newLease->isValid());
  EXPECT_EQ(context->lease("10.0.0.2", 9000, "acme", 3), nullptr);
  // An invalid context stays invalid, even when refreshed with the original login.
  context->refresh(login());
  EXPECT_FALSE(context->isValid());

  const auto other = AIAccountLoginContext::create(login());
  const auto otherLease = other->lease("10.0.0.3", 9100, "acme", 2);
  ASSERT_NE(otherLease, nullptr);
  other->refresh(login("someone-else", 3));
  EXPECT_FALSE(otherLease->isValid());

  const auto revoked = AIAccountLoginContext::create(login());
  const auto revokedLease = revoked->lease("10.0.0.3", 9100, "acme", 2);
  revoked->revoke();
  EXPECT_FALSE(revokedLease->isValid());
  EXPECT_EQ(revoked->lease("10.0.0.3", 9100, "acme", 2), nullptr);
}

TEST(AILoginManagerLease, InvalidateIsFinal) {
  const auto context = AIAccountLoginContext::create(login());
  const auto lease = context->lease("10.0.0.2", 9000, "acme", 2);
  ASSERT_NE(lease, nullptr);
  EXPECT_EQ(lease->identity, "acme@10.0.0.2:9000#2");
  lease->invalidate();
  EXPECT_FALSE(lease->isValid());
  context->refresh(login());
  EXPECT_FALSE(lease->isValid());
}

TEST(AIPairingBinding, NormalisesAndChecks) {
  const AIPairingBinding binding(" Acme ", " Mgr.LOCAL\n", 9000, 3);
  EXPECT_EQ(binding.account, "acme");
  EXPECT_EQ(binding.host, "mgr.local");
  EXPECT_EQ(binding.legacyPort, 9000);
  EXPECT_EQ(binding.slot, 3);

  struct Row {
    const char* name;
    std::string account;
    std::string host;
    std::uint16_t port;
    int slot;
  };
  const std::vector<Row> bad{
      {"blank account", "  ", "h", 1, 1},
      {"blank host", "a", "\t", 1, 1},
      {"long account", std::string(129, 'a'), "h", 1, 1},
      {"long host", "a", std::string(254, 'h'), 1, 1},
      {"port 0", "a", "h", 0, 1},
      {"slot 0", "a", "h", 1, 0},
      {"slot above", "a", "h", 1, 65537},
      {"NUL in account", std::string("a\0b", 3), "h", 1, 1},
  };
  for (const auto& row : bad) {
    SCOPED_TRACE(row.name);
    try {
      const AIPairingBinding binding(row.account, row.host, row.port, row.slot);
      (void)binding;
      ADD_FAILURE() << "accepted";
    } catch (const AIChannelError& e) {
      EXPECT_EQ(e.code(), "invalid_pairing_binding");
    }
  }
  EXPECT_NO_THROW(AIPairingBinding(std::string(128, 'a'), std::string(253, 'h'), 65535, 65536));
}

}  // namespace
}  // namespace vantrel
