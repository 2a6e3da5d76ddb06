#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AIChannel/AIChannelConfiguration.hpp"
#include "AIChannel/AIWire.hpp"
#include "Support/AIChannelError.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

using testing::TemporaryHome;

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

TEST(AIWire, PrefixIsNineBytes) {
  const Bytes expected{'V', 'N', 'M', 'A', 'C', 'A', 'I', '1', 0x0A};
  EXPECT_EQ(Bytes(AIWire::prefix().begin(), AIWire::prefix().end()), expected);
  EXPECT_TRUE(AIWire::hasPrefix(toBytes("VNMACAI1\n{}")));
  EXPECT_FALSE(AIWire::hasPrefix(toBytes("VNMACAI1")));
  EXPECT_FALSE(AIWire::hasPrefix(toBytes("VNMACAI2\n{}")));
  EXPECT_FALSE(AIWire::hasPrefix(toBytes("vnmacai1\n{}")));
}

TEST(AIChannelConfiguration, LoadsAFullFile) {
  TemporaryHome home;
  writeFile(
      AIChannelConfiguration::applicationSupportDirectory() / "ai-channel.json",
      R"({"enabled":true,"allowedRoots":["/srv/a","/srv/b"],"allowShell":true,"allowedManagers":[" Mgr.local "],"extra":1})");
  const auto c = AIChannelConfiguration::load();
  EXPECT_TRUE(c.enabled);
  EXPECT_EQ(c.allowedRoots, (std::vector<std::string>{"/srv/a", "/srv/b"}));
  EXPECT_TRUE(c.allowShell);
  EXPECT_EQ(c.allowedManagers, std::vector<std::string>{" Mgr.local "});
}

TEST(AIChannelConfiguration, BadFilesGiveTheDisabledDefault) {
  const AIChannelConfiguration disabled{};
  EXPECT_FALSE(disabled.enabled);
  EXPECT_TRUE(disabled.allowedRoots.empty());
  EXPECT_FALSE(disabled.allowShell);
  EXPECT_TRUE(disabled.allowedManagers.empty());

  const std::string valid = R"({"enabled":true,"allowedRoots":[],"allowShell":false,"allowedManagers":[]})";
  const std::vector<std::pair<std::string, std::string>> rows{
      {"missing key", R"({"enabled":true,"allowedRoots":[],"allowShell":false})"},
      {"wrong type", R"({"enabled":"true","allowedRoots":[],"allowShell":false,"allowedManagers":[]})"},
      {"number in list", R"({"enabled":true,"allowedRoots":[1],"allowShell":false,"allowedManagers":[]})"},
      {"null list", R"({"enabled":true,"allowedRoots":null,"allowShell":false,"allowedManagers":[]})"},
      {"array", "[]"},
      {"truncated", valid.substr(0, valid.size() - 1)},
      {"empty", ""},
      {"invalid utf8",
       "{\"enabled\":true,\"allowedRoots\":[\"\xFF\"],\"allowShell\":false,\"allowedManagers\":[]}"},
      // Over the limit by one byte, even though it decodes.
      {"oversized", valid + std::string(16384 - valid.size() + 1, ' ')},
  };
  for (const auto& [name, content] : rows) {
    SCOPED_TRACE(name);
    TemporaryHome home;
    writeFile(AIChannelConfiguration::applicationSupportDirectory() / "ai-channel.json", content);
    EXPECT_EQ(AIChannelConfiguration::load(), disabled);
  }
  {
    SCOPED_TRACE("exactly the limit");
    TemporaryHome home;
    writeFile(AIChannelConfiguration::applicationSupportDirectory() / "ai-channel.json",
              valid + std::string(16384 - valid.size(), ' '));
    EXPECT_TRUE(AIChannelConfiguration::load().enabled);
  }
  {
    SCOPED_TRACE("missing file");
    TemporaryHome home;
    EXPECT_EQ(AIChannelConfiguration::load(), disabled);
  }
  {
    SCOPED_TRACE("a folder in the file's place");
    TemporaryHome home;
    fs::create_directories(AIChannelConfiguration::applicationSupportDirectory() / "ai-channel.json");
    EXPECT_EQ(AIChannelConfiguration::load(), disabled);
  }
  {
    SCOPED_TRACE("a FIFO in the file's place does not hang");
    TemporaryHome home;
    const auto dir = AIChannelConfiguration::applicationSupportDirectory();
    fs::create_directories(dir);
    ASSERT_EQ(::mkfifo((dir / "ai-channel.json").c_str(), 0600), 0);
    EXPECT_EQ(AIChannelConfiguration::load(), disabled);
  }
}

}  // namespace
}  // namespace vantrel
