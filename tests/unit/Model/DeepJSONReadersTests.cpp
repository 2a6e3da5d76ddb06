// Every reader of JSON from outside the process refuses a document that nests deeper than the
// shared limit, even where the deep part sits under a key the reader ignores (such a document
// is valid and would otherwise be built, copied and written back in full).

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "AIChannel/AIChannelConfiguration.hpp"
#include "AIChannel/AIChannelRequest.hpp"
#include "AIChannel/AIWire.hpp"
#include "Account/AccountLoginTypes.hpp"
#include "Account/SystemConnectionConfiguration.hpp"
#include "Model/Connection/ManagerRouteCache.hpp"
#include "Model/Settings/InfoDictionary.hpp"
#include "Model/Status/AppDelegatePresenter.hpp"
#include "Platform/Update/UpdateFramework.hpp"
#include "Platform/Update/UpdateFrameworkInstall.hpp"
#include "Support/JSONNesting.hpp"
#include "Update/UpdateResumeStore.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// A valid object with an extra member `x` nested `depth` levels deep in total (the object itself
// is the first level).
std::string withDeepMember(std::string object, std::size_t depth) {
  const auto inner = depth - 1;
  object.pop_back();  // the closing brace
  return object + R"(,"x":)" + std::string(inner, '[') + std::string(inner, ']') + "}";
}

bool accepts(const std::function<void()>& read) {
  try {
    read();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

struct ReaderCase {
  const char* name;
  std::string valid;
  std::function<bool(const std::string&)> accepted;
};

std::vector<ReaderCase> readers(const fs::path& scratch) {
  return {
      {"login answer", R"({"status":"ok","assignedSlot":4,"accountID":"operator","message":"","routes":[]})",
       [](const std::string& t) { return accepts([&] { parseAccountLoginAnswer(200, t); }); }},
      {"connection file", R"({"host":"10.0.0.5","port":5000,"userID":"operator","connectionNumber":3})",
       [](const std::string& t) { return accepts([&] { SystemConnectionConfiguration::decode(t); }); }},
      {"route cache",
       R"({"version":1,"accountID":"a","assignedSlot":7,"primaryManagerIndex":1,"routes":[{"managerIndex":1,"insideHost":"","publicHost":"m1","port":1}]})",
       [](const std::string& t) { return ManagerRouteCache::decode(asBytes(t)).has_value(); }},
      {"resume record", R"({"expectedBuild":"7","expiresAt":21692800.0,"id":"ID"})",
       [](const std::string& t) { return UpdateResumeIntent::decode(asBytes(t)).has_value(); }},
      {"AI channel configuration",
       R"({"enabled":true,"allowedRoots":["/srv/a"],"allowShell":false,"allowedManagers":["m"]})",
       [](const std::string& t) { return AIChannelConfiguration::decode(t).has_value(); }},
      {"development-channel request", R"({"id":"1","command":"status"})",
       [](const std::string& t) {
         Bytes envelope;
         append(envelope, AIWire::prefix());
         append(envelope, asBytes(t));
         return std::holds_alternative<AIChannelRequest>(AIChannelRequest::parse(envelope));
       }},
      {"single-instance hand-over", R"({"arguments":["VantrelMac"],"workingDirectory":"/"})",
       [](const std::string& t) { return AppDelegatePresenter::decodeHandOver(t).has_value(); }},
      {"Info.json", R"({"CFBundleVersion":"7"})",
       [scratch](const std::string& t) {
         testing::writeFile(scratch / "Info.json", t);
         return InfoDictionary::load(scratch / "Info.json").has_value();
       }},
  };
}

TEST(DeepJSONReaders, EveryReaderTakesTheLimitAndRefusesOneLevelMore) {
  testing::TemporaryDirectory dir;
  for (const auto& reader : readers(dir.path())) {
    SCOPED_TRACE(reader.name);
    ASSERT_TRUE(reader.accepted(reader.valid));
    EXPECT_TRUE(reader.accepted(withDeepMember(reader.valid, maximumJSONNesting)));
    EXPECT_FALSE(reader.accepted(withDeepMember(reader.valid, maximumJSONNesting + 1)));
    EXPECT_FALSE(reader.accepted(withDeepMember(reader.valid, 70'000)));
  }
}

TEST(DeepJSONReaders, AStagedBuildWithADeepInfoFileIsRefusedForThatReason) {
  testing::TemporaryDirectory dir;
  // Small enough to be read (a staged Info.json over 64 KiB is not read at all).
  testing::writeFile(dir.path() / "Info.json",
                     withDeepMember(R"({"CFBundleVersion":"7"})", maximumJSONNesting + 1));
  try {
    update_install::validateStaged(dir.path(), "7");
    ADD_FAILURE() << "accepted";
  } catch (const UpdaterError& error) {
    // The reason is the error's detail, which the log line carries.
    const std::string detail = error.failureReason().value_or("");
    EXPECT_NE(detail.find("nests too deeply"), std::string::npos) << detail;
  }
}

}  // namespace
}  // namespace vantrel
