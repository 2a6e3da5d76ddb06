#include <gtest/gtest.h>

#include <fstream>

#include "Model/Status/AppDelegatePresenter.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace P = AppDelegatePresenter;

TEST(AppDelegatePresenter, SessionAgentSwitchIsExact) {
  EXPECT_TRUE(P::isSessionAgent({"VantrelMac", "--session-agent"}));
  EXPECT_TRUE(P::isSessionAgent({"--session-agent"}));
  EXPECT_FALSE(P::isSessionAgent({"VantrelMac", "--Session-Agent"}));
  EXPECT_FALSE(P::isSessionAgent({"VantrelMac", "--session-agent=1"}));
}

TEST(AppDelegatePresenter, OpenRequestAcceptsOnlyTheStartupResource) {
  const std::filesystem::path resources = "/opt/vantrel/share/VantrelMac";
  const std::string good = "file:///opt/vantrel/share/VantrelMac/AutomaticLogin.vantrelstartup";
  using O = P::OpenOutcome;
  EXPECT_EQ(P::openRequest({good}, false, resources), O::showAndRequestAutomaticLogin);
  EXPECT_EQ(P::openRequest({good}, true, resources), O::ignored);  // the agent never looks
  EXPECT_EQ(P::openRequest({good, good}, false, resources), O::ignored);
  EXPECT_EQ(P::openRequest({good + "?x=1"}, false, resources), O::ignored);
  EXPECT_EQ(P::openRequest({"file:///tmp/AutomaticLogin.vantrelstartup"}, false, resources), O::ignored);
  EXPECT_EQ(P::openRequest({good}, false, std::nullopt), O::ignored);
  EXPECT_EQ(P::openRequest({}, false, resources), O::ignored);
}

TEST(AppDelegatePresenter, HandOverRoundTripsAndRejectsHostileInput) {
  const P::HandOver sent{{"VantrelMac", "한글 파일", "--auto-login"}, "/home/u"};
  EXPECT_EQ(P::decodeHandOver(P::encodeHandOver(sent)), sent);
  EXPECT_FALSE(P::decodeHandOver(""));
  EXPECT_FALSE(P::decodeHandOver("[1,2]"));
  EXPECT_FALSE(P::decodeHandOver(R"({"arguments":[1],"workingDirectory":"/"})"));
  EXPECT_FALSE(P::decodeHandOver(R"({"arguments":["a"]})"));
  EXPECT_FALSE(P::decodeHandOver(R"({"arguments":"a","workingDirectory":"/"})"));
  EXPECT_FALSE(P::decodeHandOver(std::string(P::maximumHandOverSize + 1, ' ')));
}

TEST(AppDelegatePresenter, OpenItemsFromASecondLaunch) {
  const P::HandOver handOver{{"VantrelMac", "--auto-login", "ALogin", "alogin",
                              "rel/AutomaticLogin.vantrelstartup", "/abs/a b%.txt", "file:///x"},
                             "/work/dir"};
  EXPECT_EQ(P::openItems(handOver),
            (std::vector<std::string>{"file:///work/dir/rel/AutomaticLogin.vantrelstartup",
                                      "file:///abs/a%20b%25.txt", "file:///x"}));
  EXPECT_TRUE(P::openItems({{"VantrelMac"}, "/"}).empty());
  // argv[0] is never an item, whatever it looks like.
  EXPECT_TRUE(P::openItems({{"/usr/bin/VantrelMac"}, "/"}).empty());
}

TEST(AppDelegatePresenter, ARelativeResourcePathFromTheSecondLaunchIsAccepted) {
  const P::HandOver handOver{{"VantrelMac", "../share/VantrelMac/AutomaticLogin.vantrelstartup"},
                             "/opt/v/bin"};
  EXPECT_EQ(P::openRequest(P::openItems(handOver), false, std::filesystem::path("/opt/v/share/VantrelMac")),
            P::OpenOutcome::showAndRequestAutomaticLogin);
}

// The installed program is started through the "current" link but finds its resources beside its
// resolved executable: the opened file counts by where it really is.
TEST(AppDelegatePresenter, TheResourceReachedThroughALinkedFolderIsAccepted) {
  testing::TemporaryDirectory temporary;
  const auto root = std::filesystem::canonical(temporary.path());
  const auto resources = root / "versions" / "7" / "share" / "VantrelMac";
  std::filesystem::create_directories(resources);
  std::ofstream(resources / "AutomaticLogin.vantrelstartup") << "x";
  std::filesystem::create_directory_symlink("versions/7", root / "current");
  const P::HandOver handOver{
      {"VantrelMac", (root / "current" / "share" / "VantrelMac" / "AutomaticLogin.vantrelstartup").string()},
      "/"};
  EXPECT_EQ(P::openRequest(P::openItems(handOver), false, resources),
            P::OpenOutcome::showAndRequestAutomaticLogin);
  // A file that does not exist is resolved as far as its folders exist.
  const P::HandOver missing{{"VantrelMac", (root / "current" / "gone.txt").string()}, "/"};
  EXPECT_EQ(P::openItems(missing),
            (std::vector<std::string>{P::fileURL((root / "versions" / "7" / "gone.txt").string())}));
}

// Only the folder of an opened path is resolved, never the entry it names: a link bearing the
// start-up resource's name in another folder is that other folder's file, even when it points at
// the real resource.
TEST(AppDelegatePresenter, ALinkNamedLikeTheResourceInAnotherFolderIsIgnored) {
  testing::TemporaryDirectory temporary;
  const auto root = std::filesystem::canonical(temporary.path());
  const auto resources = root / "versions" / "7" / "share" / "VantrelMac";
  const auto resource = resources / "AutomaticLogin.vantrelstartup";
  std::filesystem::create_directories(resources);
  std::ofstream(resource) << "x";
  std::filesystem::create_directory_symlink("versions/7", root / "current");
  std::filesystem::create_directories(root / "elsewhere");
  std::filesystem::create_symlink(resource, root / "elsewhere" / "AutomaticLogin.vantrelstartup");
  std::filesystem::create_symlink(resource, root / "elsewhere" / "renamed.txt");
  std::filesystem::create_directory_symlink(resources, root / "elsewhere" / "resources");

  const auto outcome = [&](const std::string& argument, const std::string& folder = "/") {
    return P::openRequest(P::openItems({{"VantrelMac", argument}, folder}), false, resources);
  };
  using O = P::OpenOutcome;
  EXPECT_EQ(outcome((root / "elsewhere" / "AutomaticLogin.vantrelstartup").string()), O::ignored);
  EXPECT_EQ(outcome("AutomaticLogin.vantrelstartup", (root / "elsewhere").string()), O::ignored);
  EXPECT_EQ(outcome((root / "elsewhere" / "AutomaticLogin.vantrelstartup/").string()), O::ignored);
  EXPECT_EQ(outcome((root / "elsewhere" / "renamed.txt").string()), O::ignored);
  // The link keeps its own name in the item: nothing behind it is looked at.
  EXPECT_EQ(
      P::openItems({{"VantrelMac", (root / "elsewhere" / "AutomaticLogin.vantrelstartup").string()}, "/"}),
      (std::vector<std::string>{
          P::fileURL((root / "elsewhere" / "AutomaticLogin.vantrelstartup").string())}));
  // The resource itself, however its folder is reached, is accepted.
  EXPECT_EQ(outcome(resource.string()), O::showAndRequestAutomaticLogin);
  EXPECT_EQ(outcome((root / "current" / "share" / "VantrelMac" / "AutomaticLogin.vantrelstartup").string()),
            O::showAndRequestAutomaticLogin);
  EXPECT_EQ(outcome((root / "elsewhere" / "resources" / "AutomaticLogin.vantrelstartup").string()),
            O::showAndRequestAutomaticLogin);
  EXPECT_EQ(
      outcome("../current/share/VantrelMac/./AutomaticLogin.vantrelstartup", (root / "elsewhere").string()),
      O::showAndRequestAutomaticLogin);
}

TEST(AppDelegatePresenter, InstanceSocketPath) {
  EXPECT_EQ(P::instanceSocketPath("local.vantrel.VantrelMac", 1000, std::string("/run/user/1000")),
            "/run/user/1000/local.vantrel.VantrelMac.instance");
  EXPECT_EQ(P::instanceSocketPath("b", 7, std::nullopt), "/tmp/b-7.instance");
  EXPECT_EQ(P::instanceSocketPath("b", 7, std::string("relative")), "/tmp/b-7.instance");
}

}  // namespace
}  // namespace vantrel
