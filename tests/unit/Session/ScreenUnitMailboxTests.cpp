#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Session/DirectAuthClient.hpp"
#include "Session/ScreenUnitMailbox.hpp"

namespace vantrel {
namespace {

using Put = ScreenUnitMailbox::PutResult;

EncodedScreenAccessUnit unit(std::uint8_t id, bool keyframe = false) {
  return EncodedScreenAccessUnit{Bytes{id}, keyframe};
}

TEST(ScreenUnitMailbox, FirstPutSchedulesOneDrainUntilTheDrainFindsItEmpty) {
  ScreenUnitMailbox box(3);
  EXPECT_EQ(box.start(), 3u);
  EXPECT_EQ(box.put(unit(1)), Put::scheduleDrain);
  EXPECT_EQ(box.put(unit(2)), Put::stored);  // replaces 1; the drain is already on its way
  EXPECT_EQ(box.droppedCount(), 1u);
  auto taken = box.take();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->annexBData, Bytes{2});
  EXPECT_EQ(box.put(unit(3)), Put::stored);  // the drain has not finished yet
  EXPECT_EQ(box.take()->annexBData, Bytes{3});
  EXPECT_FALSE(box.take());                         // the drain ends here …
  EXPECT_EQ(box.put(unit(4)), Put::scheduleDrain);  // … so the next unit needs a new one
}

TEST(ScreenUnitMailbox, AWaitingKeyframeIsNeverDisplacedByANonKeyframe) {
  ScreenUnitMailbox box(1);
  EXPECT_EQ(box.put(unit(1)), Put::scheduleDrain);
  EXPECT_EQ(box.put(unit(2, true)), Put::stored);  // a keyframe replaces a non-keyframe
  EXPECT_EQ(box.put(unit(3)), Put::dropped);
  EXPECT_EQ(box.put(unit(4)), Put::dropped);
  auto taken = box.take();
  ASSERT_TRUE(taken);
  EXPECT_TRUE(taken->isKeyframe);
  EXPECT_EQ(taken->annexBData, Bytes{2});
  EXPECT_EQ(box.put(unit(5, true)), Put::stored);
  EXPECT_EQ(box.put(unit(6, true)), Put::stored);  // a newer keyframe supersedes an older one
  EXPECT_EQ(box.take()->annexBData, Bytes{6});
  EXPECT_EQ(box.droppedCount(), 4u);
}

TEST(ScreenUnitMailbox, ClosingDropsTheWaitingUnitAndRefusesLaterOnes) {
  ScreenUnitMailbox box(1);
  box.put(unit(1, true));
  box.close();
  EXPECT_TRUE(box.isClosed());
  EXPECT_FALSE(box.hasWaitingUnit());
  EXPECT_EQ(box.put(unit(2, true)), Put::dropped);
  EXPECT_FALSE(box.take());
  EXPECT_EQ(box.droppedCount(), 2u);
}

TEST(ScreenUnitMailbox, ABusyProducerThreadNeverBuildsAQueue) {
  // The producer stands for the encoder thread, the consumer for the session's strand. Units
  // arrive in order; whatever the interleaving, the consumer sees increasing ids, the last unit
  // is never lost, and no more than one unit ever waits.
  ScreenUnitMailbox box(1);
  constexpr int count = 20'000;
  std::atomic<int> schedules{0};
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 1; i <= count; ++i) {
      EncodedScreenAccessUnit u{Bytes{static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
                                false};
      if (box.put(std::move(u)) == Put::scheduleDrain) schedules.fetch_add(1);
    }
    done = true;
  });
  int last = 0;
  int received = 0;
  while (!done || box.hasWaitingUnit()) {
    while (auto u = box.take()) {
      const int id = (u->annexBData[0] << 8) | u->annexBData[1];
      EXPECT_GT(id, last);
      last = id;
      ++received;
    }
  }
  producer.join();
  while (auto u = box.take()) {
    last = (u->annexBData[0] << 8) | u->annexBData[1];
    ++received;
  }
  EXPECT_EQ(last, count);
  EXPECT_EQ(static_cast<std::uint64_t>(received) + box.droppedCount(), static_cast<std::uint64_t>(count));
  EXPECT_GE(schedules.load(), 1);
}

struct UrlCase {
  const char* url;
  std::optional<std::string> path;
};

TEST(LocalPathFromFileURL, Table) {
  const UrlCase cases[] = {
      {"file:///Users/me/a.txt", "/Users/me/a.txt"},
      {"FILE:///tmp/x", "/tmp/x"},
      {"file://localhost/tmp/x", "/tmp/x"},
      {"file:/tmp/x", "/tmp/x"},
      {"file:///tmp/a%20b%2Fc", "/tmp/a b/c"},
      {"file:///tmp/%ED%95%9C", "/tmp/\xED\x95\x9C"},
      {"file:///tmp/folder/", "/tmp/folder/"},
      {"file:///tmp/x?query#frag", "/tmp/x"},
      {"file://otherhost/tmp/x", std::nullopt},  // not this machine
      {"file://localhost", std::nullopt},
      {"file:relative/x", std::nullopt},
      {"file:", std::nullopt},
      {"file:///tmp/%00x", std::nullopt},  // an escaped NUL
      {"file:///tmp/%2", std::nullopt},    // a cut escape
      {"file:///tmp/%zz", std::nullopt},
      {"https:///tmp/x", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(localPathFromFileURL(c.url), c.path);
  }
}

}  // namespace
}  // namespace vantrel
