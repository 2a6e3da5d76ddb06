#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "Platform/System/HttpClient.hpp"
#include "Support/Blocking.hpp"
#include "UpdateFeedServer.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel {
namespace {

using Answer = testing::UpdateFeedServer::Answer;

// A streamed download from a loopback server that sends 16 bytes of its body and then nothing,
// so only the client's deadline, a cancellation or the pool's stop can end it.
class StreamedHttpTransferTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temp;
  tools::TestCertificateAuthority authority;
  testing::UpdateFeedServer https{&authority};
  HttpRequest request;
  HttpClientOptions options;
  HttpTransferControl control;

  std::mutex mutex;
  std::condition_variable arrived;
  std::string received;
  HttpBodySink sink = [this](const char* data, std::size_t size) {
    std::lock_guard lock(mutex);
    received.append(data, size);
    arrived.notify_all();
    return true;
  };

  void SetUp() override {
    const auto ca = temp.path() / "ca.pem";
    testing::writeText(ca, authority.rootPEM());
    options.caFile = ca;
    https.set("/archive", Answer::stalled(std::string(4096, 'a')));
    request.url = https.url("/archive");
  }
  // Waits until the first bytes have arrived (bounded by the hang guard of the test run).
  bool firstBytesArrived() {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(60), [this] { return !received.empty(); });
  }
};

TEST_F(StreamedHttpTransferTest, TheOverallDeadlineEndsATransferThatStillReceives) {
  options.totalTimeout = std::chrono::milliseconds(300);
  try {
    performHttpRequestHere(request, options, control, sink);
    ADD_FAILURE() << "a stalled transfer completed";
  } catch (const HttpClientError& error) {
    EXPECT_EQ(error.kind(), HttpClientError::Case::timedOut);
    EXPECT_EQ(error.localizedDescription(), "The request timed out.");
  }
  EXPECT_TRUE(control.deadlinePassed);
  EXPECT_EQ(received, std::string(16, 'a'));  // streamed to the sink, none kept in the response
}

TEST_F(StreamedHttpTransferTest, ACancellationFromAnotherThreadEndsItAtOnce) {
  options.totalTimeout = std::chrono::minutes(10);
  BlockingPool pool(1);
  control.pool = &pool;
  std::exception_ptr error;
  bool ended = false;
  ASSERT_TRUE(pool.post([&] {
    try {
      performHttpRequestHere(request, options, control, sink);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex);
    ended = true;
    arrived.notify_all();
  }));
  ASSERT_TRUE(firstBytesArrived());
  control.cancel();
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(60), [&] { return ended; }));
  }
  EXPECT_TRUE(isCancellation(error));
  EXPECT_FALSE(control.deadlinePassed);
}

TEST_F(StreamedHttpTransferTest, StoppingThePoolEndsTheTransferItRuns) {
  options.totalTimeout = std::chrono::minutes(10);
  BlockingPool pool(1);
  control.pool = &pool;
  std::exception_ptr error;
  ASSERT_TRUE(pool.post([&] {
    try {
      performHttpRequestHere(request, options, control, sink);
    } catch (...) {
      error = std::current_exception();
    }
  }));
  ASSERT_TRUE(firstBytesArrived());
  pool.stop();  // waits for the running transfer, which the stop itself ends
  EXPECT_TRUE(isCancellation(error));
  EXPECT_FALSE(control.deadlinePassed);
}

TEST_F(StreamedHttpTransferTest, ASinkThatRefusesStopsTheTransferAsAFailure) {
  sink = [](const char*, std::size_t) { return false; };
  try {
    performHttpRequestHere(request, options, control, sink);
    ADD_FAILURE() << "a refused body completed";
  } catch (const HttpClientError& error) {
    EXPECT_EQ(error.kind(), HttpClientError::Case::requestFailed);
  }
  EXPECT_FALSE(control.deadlinePassed);
}

}  // namespace
}  // namespace vantrel
