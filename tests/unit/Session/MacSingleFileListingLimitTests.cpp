#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

}  // namespace
}  // namespace vantrel
