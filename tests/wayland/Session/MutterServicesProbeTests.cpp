#include <gtest/gtest.h>

#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"
#include "support/PrivateWaylandSession.hpp"

namespace vantrel {
namespace {

using testing::PrivateWaylandSession;

// The status window asks these every two seconds on its UI thread: a compositor that stands still
// must not hold that thread, so the answer is the last one a probe of its own got.
TEST(MutterServicesProbe, ACompositorStandingStillGetsTheLastAnswerWithoutAWait) {
  PrivateWaylandSession session;
  ASSERT_TRUE(MutterServices::remoteDesktopAnswers());
  ASSERT_TRUE(MutterServices::screenCastAnswers());
  session.pauseCompositor();
  struct Resume {
    PrivateWaylandSession& session;
    ~Resume() { session.resumeCompositor(); }
  } resume{session};
  // A call of its own would wait for the compositor and give up (false).
  EXPECT_TRUE(MutterServices::remoteDesktopAnswers());
  EXPECT_TRUE(MutterServices::screenCastAnswers());
}

}  // namespace
}  // namespace vantrel
