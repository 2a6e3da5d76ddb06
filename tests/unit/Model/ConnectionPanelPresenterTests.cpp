#include <gtest/gtest.h>

#include <cstdlib>

#include "Model/Status/ConnectionPanelPresenter.hpp"

namespace vantrel {
namespace {

using ConnectionPanelPresenter::logChange;
using ConnectionPanelPresenter::look;

std::deque<StatusLogLine> lines(int n) {
  std::deque<StatusLogLine> result;
  for (int i = 0; i < n; ++i) result.push_back({Uuid::random(), {}, "line " + std::to_string(i)});
  return result;
}

std::vector<Uuid> ids(const std::deque<StatusLogLine>& entries, std::size_t from = 0) {
  std::vector<Uuid> result;
  for (std::size_t i = from; i < entries.size(); ++i) result.push_back(entries[i].id);
  return result;
}

TEST(ConnectionPanelPresenter, ConnectAndDisconnectEnablingMatrix) {
  struct Case {
    bool canConnect, canDisconnect, busy, connectOn, disconnectOn;
  };
  const Case cases[] = {
      {true, false, false, true, false}, {false, true, false, false, true},
      {false, false, true, false, true}, {false, true, true, false, true},
      {true, false, true, true, true},   {false, false, false, false, false},
  };
  for (const auto& c : cases) {
    StatusViewState state;
    state.canConnect = c.canConnect;
    state.canDisconnect = c.canDisconnect;
    state.isConnectionBusy = c.busy;
    const auto result = look(state, false);
    EXPECT_EQ(result.connectEnabled, c.connectOn);
    EXPECT_EQ(result.disconnectEnabled, c.disconnectOn);
  }
}

TEST(ConnectionPanelPresenter, DisplayLinesInOrderWithSummaries) {
  StatusViewState state;
  state.displays = {{7, 1920, 1080, "", true}, {3, 1280, 1024, "Side", false}};
  state.displayCountLabel = "2 displays";
  const auto result = look(state, false);
  ASSERT_EQ(result.displayLines.size(), 2u);
  EXPECT_EQ(result.displayLines[0], "Display 7 (main) \u2014 1920\u00D71080");
  EXPECT_EQ(result.displayLines[1], "Side \u2014 1280\u00D71024");
  EXPECT_EQ(result.displayCountLabel, "2 displays");
}

TEST(ConnectionPanelPresenter, LogChangeAppendsAndDropsWithoutStartingOver) {
  const auto all = lines(305);
  // Shown: lines 0..299. Now: lines 5..304 (five appended, five fell off the front).
  const std::deque<StatusLogLine> now(all.begin() + 5, all.end());
  const auto change = logChange(ids(std::deque<StatusLogLine>(all.begin(), all.begin() + 300)), now);
  EXPECT_FALSE(change.reset);
  EXPECT_EQ(change.dropFront, 5u);
  EXPECT_EQ(change.appendFrom, 295u);
}

TEST(ConnectionPanelPresenter, LogChangeCases) {
  const auto all = lines(4);
  // Nothing shown yet: start over.
  EXPECT_TRUE(logChange({}, all).reset);
  // Cleared: start over with nothing.
  EXPECT_TRUE(logChange(ids(all), {}).reset);
  // Unchanged.
  const auto same = logChange(ids(all), all);
  EXPECT_FALSE(same.reset);
  EXPECT_EQ(same.dropFront, 0u);
  EXPECT_EQ(same.appendFrom, 4u);
  // After Clear, new lines that were never shown.
  EXPECT_TRUE(logChange(ids(all), lines(2)).reset);
  // A reordering is not trusted.
  std::deque<StatusLogLine> swapped = all;
  std::swap(swapped[1], swapped[2]);
  EXPECT_TRUE(logChange(ids(all), swapped).reset);
}

}  // namespace
}  // namespace vantrel
