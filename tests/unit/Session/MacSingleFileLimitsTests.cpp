#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Session/MacSingleFileProtocol.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using testing::TemporaryDirectory;
using testing::writeFile;

// Names whose JSON is longer than their bytes: quote, backslash, control characters, a byte that
// is not UTF-8 (escaped as %XX), Korean, and a folder.
void fillTrickyFolder(const std::filesystem::path& folder) {
  for (const std::string name :
       {"quote\"d", "back\\slash", "tab\tand\x01", "bad\xFF", "한글 이름", "plain.txt"}) {
    writeFile(folder / name, std::string_view("x"));
  }
  std::filesystem::create_directory(folder / "sub folder");
}

TEST(SingleFileListingLimit, TheLimitIsTheExactLengthOfTheAnswer) {
  TemporaryDirectory dir;
  fillTrickyFolder(dir.path());
  const auto size = MacSingleFileService::list(dir.path().string()).jsonString().size();
  EXPECT_EQ(MacSingleFileService::list(dir.path().string(), size).jsonString().size(), size);
  try {
    (void)MacSingleFileService::list(dir.path().string(), size - 1);
    ADD_FAILURE() << "a listing one byte over its limit was built";
  } catch (const LegacyClipboardCodecError& error) {
    EXPECT_EQ(error, LegacyClipboardCodecError::valueTooLarge());
  }
}

TEST(SingleFileListingLimit, AnEmptyFolderNeedsOnlyTheHead) {
  TemporaryDirectory dir;
  const auto size = MacSingleFileService::list(dir.path().string()).jsonString().size();
  EXPECT_NO_THROW((void)MacSingleFileService::list(dir.path().string(), size));
  EXPECT_THROW((void)MacSingleFileService::list(dir.path().string(), size - 1), LegacyClipboardCodecError);
}

std::string commandWith(std::string_view files, std::string_view extra = "") {
  std::string out =
      R"({"protocolName":"VantrelMac.SingleFileCommand.v1","command":3,"path":"/","remotePath":"",)";
  out.append(R"("files":)").append(files).append(extra).push_back('}');
  return out;
}

TEST(SingleFileCommandLimits, NestingBelowTheFilesArrayIsRefusedWhileReading) {
  // Four MiB of brackets once cost a tree of about 300 MB; they are refused at the third level.
  EXPECT_FALSE(MacSingleFileCommand::decode(std::string(4u << 20, '[')));
  EXPECT_FALSE(MacSingleFileCommand::decode(commandWith(R"([["a"]])")));
  EXPECT_FALSE(MacSingleFileCommand::decode(commandWith(R"(["a"])", R"(,"extra":{"x":[]})")));
  EXPECT_TRUE(MacSingleFileCommand::decode(commandWith(R"(["a"])", R"(,"extra":{"x":1,"y":"z"})")));
}

TEST(SingleFileCommandLimits, RepeatedKeysCountWithTheirLastValue) {
  const auto decoded = MacSingleFileCommand::decode(commandWith(R"([1])", R"(,"files":["b"],"path":"/x")"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->files, std::vector<std::string>{"b"});
  EXPECT_EQ(decoded->path, "/x");
  EXPECT_FALSE(MacSingleFileCommand::decode(commandWith(R"(["b"])", R"(,"files":[1])")));
  EXPECT_FALSE(MacSingleFileCommand::decode(commandWith(R"(["b"])", R"(,"command":1.0)")));
  EXPECT_FALSE(MacSingleFileCommand::decode(commandWith(R"(["b"])", R"(,"path":{})")));
}

TEST(SingleFileCommandLimits, DocumentsOverOneMebibyteAreRefused) {
  const auto empty = commandWith(R"([""])");
  const std::string fill(MacSingleFileCommand::maximumDocumentBytes - empty.size(), 'a');
  const auto exact = commandWith("[\"" + fill + "\"]");
  ASSERT_EQ(exact.size(), MacSingleFileCommand::maximumDocumentBytes);
  const auto decoded = MacSingleFileCommand::decode(exact);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->files.front().size(), fill.size());
  EXPECT_FALSE(MacSingleFileCommand::decode(commandWith("[\"" + fill + "a\"]")));
}

}  // namespace
}  // namespace vantrel
