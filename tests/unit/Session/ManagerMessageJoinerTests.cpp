// Joining chunked basic messages: what is served, what is dropped and why, and the limits.

#include <gtest/gtest.h>

#include "Session/ManagerMessageJoiner.hpp"

namespace vantrel {
namespace {

VantrelFrame chunk(std::uint8_t command, std::uint16_t sequence, std::uint16_t count, std::uint16_t timestamp,
                   Bytes payload, std::uint16_t comNum = 3) {
  VantrelHeader header;
  header.command = command;
  header.sequenceNumber = sequence;
  header.numChunks = count;
  header.timestamp = timestamp;
  header.chunkSize = static_cast<std::uint16_t>(payload.size());
  header.comNum = comNum;
  return VantrelFrame{header, std::move(payload)};
}

TEST(ManagerMessageJoinerTests, SingleFramesAndOtherCommandsPassThrough) {
  ManagerMessageJoiner joiner;
  auto single = joiner.push(chunk(1, 0, 1, 9, {1, 2}));
  ASSERT_TRUE(single.ready);
  EXPECT_EQ(single.ready->payload, (Bytes{1, 2}));
  EXPECT_TRUE(single.dropped.empty());
  // File data in several chunks is never joined.
  auto file = joiner.push(chunk(12, 0, 2, 9, {7}));
  ASSERT_TRUE(file.ready);
  EXPECT_EQ(file.ready->header.command, 12);
  EXPECT_FALSE(joiner.isCollecting());
}

TEST(ManagerMessageJoinerTests, ChunksInOrderBecomeOneMessage) {
  ManagerMessageJoiner joiner;
  EXPECT_FALSE(joiner.push(chunk(1, 0, 3, 5, {1})).ready);
  EXPECT_FALSE(joiner.push(chunk(1, 1, 3, 5, {2, 3})).ready);
  EXPECT_EQ(joiner.collectedBytes(), 3u);
  auto last = joiner.push(chunk(1, 2, 3, 5, {4}));
  ASSERT_TRUE(last.ready);
  EXPECT_EQ(last.ready->payload, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(last.ready->header.comNum, 3);
  EXPECT_EQ(last.ready->header.timestamp, 5);
  EXPECT_TRUE(last.dropped.empty());
  EXPECT_FALSE(joiner.isCollecting());
}

TEST(ManagerMessageJoinerTests, BrokenSequencesAreDroppedWithAReason) {
  struct Case {
    const char* name;
    VantrelFrame second;
    std::vector<std::string> dropped;
    bool secondServed;
  };
  const std::vector<Case> cases{
      {"a single basic message between chunks",
       chunk(1, 0, 1, 0, Bytes(20, 0)),
       {"manager message dropped: interrupted after 1 of 3 chunks"},
       true},
      {"a different timestamp",
       chunk(1, 1, 3, 6, {0}),
       {"manager message dropped: interrupted after 1 of 3 chunks",
        "manager message dropped: chunk 2 of 3 arrived without its start"},
       false},
      {"a skipped sequence number",
       chunk(1, 2, 3, 5, {0}),
       {"manager message dropped: interrupted after 1 of 3 chunks",
        "manager message dropped: chunk 3 of 3 arrived without its start"},
       false},
      {"another chunk count",
       chunk(1, 1, 4, 5, {0}),
       {"manager message dropped: interrupted after 1 of 3 chunks",
        "manager message dropped: chunk 2 of 4 arrived without its start"},
       false},
      {"another comNum",
       chunk(1, 1, 3, 5, {0}, 4),
       {"manager message dropped: interrupted after 1 of 3 chunks",
        "manager message dropped: chunk 2 of 3 arrived without its start"},
       false},
      {"a new message",
       chunk(1, 0, 2, 8, {0}),
       {"manager message dropped: interrupted after 1 of 3 chunks"},
       false},
  };
  for (const auto& c : cases) {
    ManagerMessageJoiner joiner;
    joiner.push(chunk(1, 0, 3, 5, {1}));
    auto step = joiner.push(c.second);
    EXPECT_EQ(step.dropped, c.dropped) << c.name;
    EXPECT_EQ(step.ready.has_value(), c.secondServed) << c.name;
  }
}

TEST(ManagerMessageJoinerTests, FramesOfOtherCommandsBetweenChunksPassWithoutBreakingTheMessage) {
  ManagerMessageJoiner joiner;
  EXPECT_FALSE(joiner.push(chunk(1, 0, 3, 5, {1})).ready);
  for (const std::uint8_t command : {3, 4, 10, 12, 7}) {  // input, screen, file frames…
    auto other = joiner.push(chunk(command, 0, 1, 9, {9}));
    ASSERT_TRUE(other.ready);
    EXPECT_EQ(other.ready->header.command, command);
    EXPECT_TRUE(other.dropped.empty());
  }
  EXPECT_FALSE(joiner.push(chunk(1, 1, 3, 5, {2})).ready);
  EXPECT_TRUE(joiner.push(chunk(12, 0, 2, 9, {7})).ready);  // a multi-chunk file frame too
  auto last = joiner.push(chunk(1, 2, 3, 5, {3}));
  ASSERT_TRUE(last.ready);
  EXPECT_EQ(last.ready->payload, (Bytes{1, 2, 3}));
  EXPECT_TRUE(last.dropped.empty());
}

TEST(ManagerMessageJoinerTests, AMessageWithoutAChunkForThirtySecondsIsDropped) {
  using namespace std::chrono_literals;
  using Instant = ManagerMessageJoiner::Instant;
  ManagerMessageJoiner joiner;
  joiner.push(chunk(1, 0, 3, 5, Bytes(60000, 1)), Instant(10s));
  joiner.push(chunk(1, 1, 3, 5, Bytes(60000, 1)), Instant(30s));  // each chunk restarts the wait
  EXPECT_EQ(joiner.stallDeadline(), Instant(60s));
  EXPECT_EQ(joiner.expire(Instant(59s)), std::nullopt);
  EXPECT_TRUE(joiner.isCollecting());
  EXPECT_EQ(joiner.expire(Instant(60s)),
            std::optional<std::string>("manager message dropped: no chunk for 30 s after 2 of 3 chunks"));
  EXPECT_FALSE(joiner.isCollecting());
  EXPECT_EQ(joiner.collectedBytes(), 0u);
  EXPECT_EQ(joiner.stallDeadline(), std::nullopt);
  // Its late last chunk has no start any more.
  EXPECT_EQ(joiner.push(chunk(1, 2, 3, 5, {1}), Instant(61s)).dropped,
            std::vector<std::string>{"manager message dropped: chunk 3 of 3 arrived without its start"});
}

TEST(ManagerMessageJoinerTests, TooManyChunksAreRefusedAtOnceAndSkippedQuietly) {
  ManagerMessageJoiner joiner;
  ASSERT_EQ(ManagerMessageJoiner::maximumMessageChunks, 1120u);
  auto first = joiner.push(chunk(1, 0, 1121, 1, Bytes(10, 0)));
  EXPECT_EQ(first.dropped,
            std::vector<std::string>{"manager message dropped: 1121 chunks announced, at most 1120 allowed"});
  EXPECT_EQ(joiner.collectedBytes(), 0u);
  for (std::uint16_t i = 1; i < 1121; ++i) {
    auto step = joiner.push(chunk(1, i, 1121, 1, Bytes(10, 0)));
    EXPECT_TRUE(step.dropped.empty());
    EXPECT_FALSE(step.ready);
  }
  EXPECT_FALSE(joiner.isCollecting());
  // The largest count that can fit is accepted.
  EXPECT_TRUE(joiner.push(chunk(1, 0, 1120, 2, {1})).dropped.empty());
  EXPECT_TRUE(joiner.isCollecting());
}

TEST(ManagerMessageJoinerTests, GrowingPastTheLimitDropsTheMessage) {
  ManagerMessageJoiner joiner;
  const Bytes full(60000, 0x5A);
  std::vector<std::string> dropped;
  for (std::uint16_t i = 0; i < 1120; ++i) {
    auto step = joiner.push(chunk(1, i, 1120, 3, full));
    EXPECT_FALSE(step.ready);
    dropped.insert(dropped.end(), step.dropped.begin(), step.dropped.end());
    EXPECT_LE(joiner.collectedBytes(), ManagerMessageJoiner::maximumMessageBytes);
  }
  EXPECT_EQ(dropped, std::vector<std::string>{"manager message dropped: more than 67174400 bytes"});
  EXPECT_FALSE(joiner.isCollecting());
}

TEST(ManagerMessageJoinerTests, AMessageExactlyAtTheLimitIsServed) {
  ManagerMessageJoiner joiner;
  const std::size_t limit = ManagerMessageJoiner::maximumMessageBytes;  // 1119 full chunks + 34,400
  for (std::uint16_t i = 0; i < 1119; ++i) joiner.push(chunk(1, i, 1120, 4, Bytes(60000, 1)));
  auto last = joiner.push(chunk(1, 1119, 1120, 4, Bytes(limit - 1119u * 60000u, 2)));
  ASSERT_TRUE(last.ready);
  EXPECT_EQ(last.ready->payload.size(), limit);
  EXPECT_TRUE(last.dropped.empty());
}

TEST(ManagerMessageJoinerTests, ResetForgetsWithoutAReport) {
  ManagerMessageJoiner joiner;
  joiner.push(chunk(1, 0, 2, 1, {1}));
  joiner.reset();
  auto next = joiner.push(chunk(1, 1, 2, 1, {2}));
  EXPECT_EQ(next.dropped,
            std::vector<std::string>{"manager message dropped: chunk 2 of 2 arrived without its start"});
}

}  // namespace
}  // namespace vantrel
