#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <utility>

#include "Platform/Update/UpdateFramework.hpp"
#include "Platform/Update/UpdateFrameworkTransfer.hpp"
#include "UpdateFeedServer.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel {
namespace {

using Answer = testing::UpdateFeedServer::Answer;

class UpdateTransferTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temp;
  tools::TestCertificateAuthority authority;
  testing::UpdateFeedServer https{&authority};
  testing::UpdateFeedServer http;
  update_transfer::Policy policy;
  update_transfer::Control control;

  void SetUp() override {
    const auto ca = temp.path() / "ca.pem";
    testing::writeText(ca, authority.rootPEM());
    policy.caFile = ca;
  }

  // The detail of a failed fetch, or "" with the body in `body`.
  std::string fetch(const std::string& url, std::string* body = nullptr, std::size_t limit = 1024) {
    try {
      const auto result = update_transfer::fetch(url, limit, policy, control);
      if (body) *body = result;
      return "";
    } catch (const UpdaterError& error) {
      EXPECT_EQ(error.code(), updater_errors::feedFailed);
      return error.failureReason().value_or("");
    }
  }

  // Downloads into a fresh file; returns the error's detail ("" on success) and the bytes written.
  std::pair<std::string, std::string> download(const std::string& url, std::uint64_t length) {
    const auto path = temp.path() / "download";
    std::filesystem::remove(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    std::string error;
    try {
      update_transfer::download(url, fd, length, policy, control);
    } catch (const UpdaterError& e) {
      EXPECT_EQ(e.code(), updater_errors::downloadFailed);
      error = e.failureReason().value_or("");
    }
    ::close(fd);
    return {error, testing::readText(path)};
  }
};

TEST_F(UpdateTransferTest, FetchesOverVerifiedHttps) {
  https.set("/feed", Answer::ok("feed bytes"));
  std::string body;
  EXPECT_EQ(fetch(https.url("/feed"), &body), "");
  EXPECT_EQ(body, "feed bytes");
  EXPECT_NE(fetch(https.url("/missing")), "");
  https.set("/big", Answer::ok(std::string(1025, 'x')));
  EXPECT_NE(fetch(https.url("/big")), "");

  policy.caFile.reset();  // the system's store does not know the test authority
  EXPECT_NE(fetch(https.url("/feed")), "");
}

TEST_F(UpdateTransferTest, PlainHttpOnlyForAllowedLoopback) {
  http.set("/feed", Answer::ok("plain"));
  EXPECT_NE(fetch(http.url("/feed")).find("Only HTTPS"), std::string::npos);
  EXPECT_EQ(http.requests("/feed"), 0);
  policy.allowLoopbackHttp = true;
  std::string body;
  EXPECT_EQ(fetch(http.url("/feed"), &body), "");
  EXPECT_EQ(body, "plain");
  // Refused before any connection is attempted.
  EXPECT_NE(fetch("http://192.0.2.1:9/feed").find("Only HTTPS"), std::string::npos);
  EXPECT_NE(fetch("ftp://127.0.0.1/feed").find("Only HTTPS"), std::string::npos);
}

TEST_F(UpdateTransferTest, RedirectsOnlyToHttps) {
  https.set("/feed", Answer::ok("secure"));
  https.set("/moved", Answer::redirect(https.url("/feed")));
  std::string body;
  EXPECT_EQ(fetch(https.url("/moved"), &body), "");
  EXPECT_EQ(body, "secure");

  http.set("/archive", Answer::ok("0123456789"));
  https.set("/downgrade", Answer::redirect(http.url("/archive")));
  policy.allowLoopbackHttp = true;  // even a rehearsal never follows a redirect to HTTP
  EXPECT_NE(download(https.url("/downgrade"), 10).first, "");
  EXPECT_EQ(http.requests("/archive"), 0);
  http.set("/plain-moved", Answer::redirect(http.url("/archive")));
  EXPECT_NE(download(http.url("/plain-moved"), 10).first, "");
  EXPECT_EQ(http.requests("/archive"), 0);
}

TEST_F(UpdateTransferTest, DownloadMustHaveTheExactLength) {
  https.set("/a", Answer::ok("0123456789"));
  EXPECT_EQ(download(https.url("/a"), 10), std::make_pair(std::string(), std::string("0123456789")));
  EXPECT_NE(download(https.url("/a"), 11).first, "");  // short
  const auto [longError, longBytes] = download(https.url("/a"), 9);
  EXPECT_NE(longError, "");
  EXPECT_LE(longBytes.size(), 9u);  // never more than announced reaches the disk
  const auto [missing, missingBytes] = download(https.url("/none"), 10);
  EXPECT_NE(missing, "");
  EXPECT_EQ(missingBytes, "");
}

TEST_F(UpdateTransferTest, StalledDownloadIsAborted) {
  https.set("/slow", Answer::stalled(std::string(4096, 's')));
  policy.lowSpeedTime = std::chrono::seconds(1);
  policy.lowSpeedBytes = 1000;
  const auto [error, bytes] = download(https.url("/slow"), 4096);
  EXPECT_NE(error, "");
  EXPECT_EQ(error.find("did not finish within"), std::string::npos) << error;  // the floor, not the deadline
  EXPECT_LT(bytes.size(), 4096u);
}

// The server sends its first bytes and then holds the connection: a rate of almost nothing that
// the rate floor (set beyond this test's horizon) does not end. Only the overall deadline does.
TEST_F(UpdateTransferTest, AFeedThatKeepsTheConnectionOpenEndsAtItsDeadline) {
  https.set("/trickle", Answer::stalled(std::string(100'000, 'f')));
  policy.lowSpeedBytes = 1;
  policy.lowSpeedTime = std::chrono::seconds(60);
  policy.feedDeadline = std::chrono::milliseconds(300);
  EXPECT_NE(fetch(https.url("/trickle"), nullptr, 1 << 20).find("did not finish within 0.3 seconds"),
            std::string::npos);
}

TEST_F(UpdateTransferTest, AnArchiveEndsAtTheDeadlineItsDeclaredLengthGives) {
  https.set("/archive", Answer::stalled(std::string(4096, 'a')));
  policy.lowSpeedBytes = 1;
  policy.lowSpeedTime = std::chrono::seconds(60);
  policy.archiveFloorBytesPerSecond = 4 * 4096;  // 4096 bytes: 250 ms
  policy.archiveMinimumDeadline = std::chrono::milliseconds(0);
  const auto [error, bytes] = download(https.url("/archive"), 4096);
  EXPECT_NE(error.find("did not finish within 0.25 seconds"), std::string::npos) << error;
  EXPECT_LT(bytes.size(), 4096u);
}

TEST(UpdateTransferDeadline, TheArchiveDeadlineScalesWithItsLengthBetweenOneAndThirtyMinutes) {
  const update_transfer::Policy policy;
  EXPECT_EQ(policy.feedDeadline, std::chrono::seconds(60));
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  constexpr std::uint64_t floor = 64 * 1024;
  const std::pair<std::uint64_t, milliseconds> cases[] = {
      {0, seconds(60)},
      {1, seconds(60)},
      {floor * 60, seconds(60)},
      {floor * 60 + 1, milliseconds(60'001)},  // rounded up to the next millisecond
      {floor * 600, seconds(600)},
      {floor * 1800, seconds(1800)},
      {floor * 1800 + 1, seconds(1800)},
      {512ULL * 1024 * 1024, seconds(1800)},
      {UINT64_MAX, seconds(1800)},
  };
  for (const auto& [length, deadline] : cases) {
    SCOPED_TRACE(length);
    EXPECT_EQ(update_transfer::archiveDeadline(length, policy), deadline);
  }
}

TEST_F(UpdateTransferTest, CancelledTransferReportsCancellation) {
  https.set("/a", Answer::ok("0123456789"));
  control.transfer.cancel();
  try {
    update_transfer::fetch(https.url("/a"), 100, policy, control);
    ADD_FAILURE() << "a cancelled transfer completed";
  } catch (const UpdaterError& error) {
    EXPECT_EQ(error.code(), updater_errors::cancelled);
  }
}

}  // namespace
}  // namespace vantrel
