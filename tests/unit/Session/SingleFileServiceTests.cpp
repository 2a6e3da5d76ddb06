#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Session/FileSystemError.hpp"
#include "Session/MacSingleFileProtocol.hpp"
#include "Support/Text.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::readFile;
using testing::setModificationTime;
using testing::TemporaryDirectory;
using testing::TemporaryHome;
using testing::writeFile;

// 2024-01-02 03:04:05 UTC
constexpr std::time_t sampleTime = 1704164645;

std::vector<std::string> names(const MacSingleFileList& list) {
  std::vector<std::string> out;
  for (const auto& entry : list.entries) out.push_back(entry.name);
  return out;
}

MacSingleFileCommand command(std::int64_t code, const fs::path& path, std::vector<std::string> files) {
  MacSingleFileCommand c;
  c.protocolName = std::string(MacSingleFileCommand::commandProtocolName);
  c.command = code;
  c.path = path.string();
  c.files = std::move(files);
  return c;
}

template <typename Body>
MacSingleFileError::Case refusal(Body body) {
  try {
    body();
  } catch (const MacSingleFileError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "no MacSingleFileError was thrown";
  return MacSingleFileError::Case::featureUnsupported;
}

template <typename Body>
int posixFailure(Body body) {
  try {
    body();
  } catch (const FileSystemError& error) {
    return error.posixCode();
  }
  ADD_FAILURE() << "no FileSystemError was thrown";
  return 0;
}

// MARK: - Listing

TEST(SingleFileListing, FoldersFirstThenFinderOrderWithHiddenAndNumbers) {
  TemporaryDirectory dir;
  testing::ScopedTimeZone utc("UTC0");
  fs::create_directory(dir.path() / "sub");
  writeFile(dir.path() / ".hidden", "h");
  writeFile(dir.path() / "file10.txt", "0123456789");
  writeFile(dir.path() / "file9.txt", "abc");
  writeFile(dir.path() / "B.txt", "");
  writeFile(dir.path() / "a.txt", "12");
  fs::create_directory(dir.path() / "Alpha");
  setModificationTime(dir.path() / "file9.txt", sampleTime);

  const auto list = MacSingleFileService::list(dir.path().string());
  EXPECT_EQ(list.protocolName, "VantrelMac.SingleFileList.v1");
  EXPECT_EQ(list.path, dir.path().string());
  EXPECT_EQ(names(list), (std::vector<std::string>{"Alpha", "sub", ".hidden", "a.txt", "B.txt", "file9.txt",
                                                   "file10.txt"}));
  const auto& hidden = list.entries[2];
  EXPECT_TRUE(hidden.isHidden);
  EXPECT_FALSE(hidden.isDirectory);
  EXPECT_FALSE(list.entries[3].isHidden);
  EXPECT_TRUE(list.entries[0].isDirectory);
  EXPECT_EQ(list.entries[0].size, 0);
  EXPECT_EQ(list.entries[5], (MacSingleFileEntry{"file9.txt", false, false, 3, "2024-01-02 03:04"}));
  EXPECT_EQ(list.entries[6].size, 10);
}

TEST(SingleFileListing, ModificationTimeIsLocalTime) {
  TemporaryDirectory dir;
  testing::ScopedTimeZone seoul("KST-9");
  writeFile(dir.path() / "f", "x");
  setModificationTime(dir.path() / "f", sampleTime);
  const auto list = MacSingleFileService::list(dir.path().string());
  ASSERT_EQ(list.entries.size(), 1u);
  EXPECT_EQ(list.entries[0].modified, "2024-01-02 12:04");
}

TEST(SingleFileListing, JsonIsCompactWithEscapedSlashes) {
  MacSingleFileList list("/tmp/a b",
                         {{"x/y\"z", false, true, 12, "2024-01-02 03:04"}, {"폴더", true, false, 0, ""}});
  EXPECT_EQ(list.jsonString(),
            "{\"protocolName\":\"VantrelMac.SingleFileList.v1\",\"path\":\"\\/tmp\\/a b\","
            "\"entries\":[{\"name\":\"x\\/y\\\"z\",\"isDirectory\":false,\"isHidden\":true,"
            "\"size\":12,\"modified\":\"2024-01-02 03:04\"},{\"name\":\"폴더\",\"isDirectory\":"
            "true,\"isHidden\":false,\"size\":0,\"modified\":\"\"}]}");
  const auto parsed = nlohmann::json::parse(list.jsonString());
  EXPECT_EQ(parsed["path"], "/tmp/a b");
  EXPECT_EQ(parsed["entries"][0]["name"], "x/y\"z");
}

TEST(SingleFileListing, BackslashBeforeSlashSurvivesTheEscaping) {
  MacSingleFileList list("/a\\/b", {});
  const auto parsed = nlohmann::json::parse(list.jsonString());
  EXPECT_EQ(parsed["path"], "/a\\/b");
}

TEST(SingleFileListing, NamesThatAreNotUtf8AreEscapedAndTheJsonStaysValid) {
  TemporaryDirectory dir;
  writeFile(dir.path() / std::string("bad\xFF\xFEname"), "x");
  writeFile(dir.path() / std::string("half\xED\x9F"), "y");
  const auto list = MacSingleFileService::list(dir.path().string());
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].name, "bad%FF%FEname");
  EXPECT_EQ(list.entries[1].name, "half%ED%9F");
  const auto parsed = nlohmann::json::parse(list.jsonString());
  EXPECT_EQ(parsed["entries"][0]["name"], "bad%FF%FEname");
}

TEST(SingleFileListing, DecomposedNamesAndPathAreSentComposed) {
  TemporaryDirectory dir;
  const std::string decomposed = "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB";  // 한 as three jamo
  const std::string composed = "\xED\x95\x9C";
  fs::create_directory(dir.path() / decomposed);
  writeFile(dir.path() / decomposed / ("e" + std::string("\xCC\x81") + ".txt"), "z");
  const auto list = MacSingleFileService::list((dir.path() / decomposed).string());
  EXPECT_EQ(list.path, dir.path().string() + "/" + composed);
  ASSERT_EQ(list.entries.size(), 1u);
  EXPECT_EQ(list.entries[0].name, "\xC3\xA9.txt");
}

TEST(SingleFileListing, AliasesNameDesktopDocumentsAndHome) {
  TemporaryHome home;
  fs::create_directory(home.path() / "Desktop");
  fs::create_directory(home.path() / "Documents");
  writeFile(home.path() / "Desktop" / "on-desktop", "1");
  writeFile(home.path() / "Documents" / "in-documents", "2");

  const auto desktop = MacSingleFileService::list("바탕화면");
  EXPECT_EQ(desktop.path, (home.path() / "Desktop").string());
  EXPECT_EQ(names(desktop), std::vector<std::string>{"on-desktop"});
  const auto documents = MacSingleFileService::list("내문서");
  EXPECT_EQ(documents.path, (home.path() / "Documents").string());
  EXPECT_EQ(names(documents), std::vector<std::string>{"in-documents"});
  const auto homeList = MacSingleFileService::list("Vantrel 폴더");
  EXPECT_EQ(homeList.path, home.path().string());
  EXPECT_EQ(names(homeList), (std::vector<std::string>{"Desktop", "Documents"}));
}

TEST(SingleFileListing, AliasesFollowTheUserDirsFile) {
  TemporaryHome home;
  fs::create_directories(home.path() / ".config");
  writeFile(home.path() / ".config" / "user-dirs.dirs",
            "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  EXPECT_EQ(MacSingleFileService::resolve("바탕화면"), home.path() / "Schreibtisch");
  EXPECT_EQ(MacSingleFileService::resolve("내문서"), home.path() / "Dokumente");
}

TEST(SingleFileListing, LongerTextIsNoAliasButARelativePath) {
  const auto cwd = fs::current_path();
  EXPECT_EQ(MacSingleFileService::resolve("바탕화면/x"), cwd / "바탕화면" / "x");
  EXPECT_EQ(MacSingleFileService::resolve("Vantrel 폴더2"), cwd / "Vantrel 폴더2");
  EXPECT_EQ(MacSingleFileService::resolve(" 내문서"), cwd / " 내문서");
}

TEST(SingleFileListing, PathsAreStandardised) {
  EXPECT_EQ(MacSingleFileService::resolve("/a/./b/../c/"), fs::path("/a/c"));
  EXPECT_EQ(MacSingleFileService::resolve("\\a\\b\\..\\c"), fs::path("/a/c"));
  EXPECT_EQ(MacSingleFileService::resolve("/.."), fs::path("/"));
  EXPECT_EQ(MacSingleFileService::resolve("/"), fs::path("/"));
}

TEST(SingleFileListing, WindowsStylePathListsTheSameFolder) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "one", "1");
  auto backslashed = dir.path().string();
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  const auto a = MacSingleFileService::list(backslashed);
  const auto b = MacSingleFileService::list(dir.path().string());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.path, dir.path().string());
}

TEST(SingleFileListing, MissingFolderOrFileThrowsTheSystemError) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "plain", "x");
  EXPECT_EQ(posixFailure([&] { MacSingleFileService::list((dir.path() / "missing").string()); }), ENOENT);
  EXPECT_EQ(posixFailure([&] { MacSingleFileService::list((dir.path() / "plain").string()); }), ENOTDIR);
  try {
    MacSingleFileService::list((dir.path() / "missing").string());
  } catch (const FileSystemError& error) {
    EXPECT_EQ(error.localizedDescription(), "Couldn\u2019t read the folder \u201C" +
                                                (dir.path() / "missing").string() +
                                                "\u201D: No such file or directory");
  }
}

TEST(SingleFileListing, UnreadableFolderFailsWithPermissionDenied) {
  TemporaryDirectory dir;
  fs::create_directory(dir.path() / "locked");
  ::chmod((dir.path() / "locked").c_str(), 0);
  int code = 0;
  testing::runWithoutPermissionOverride(
      [&] { code = posixFailure([&] { MacSingleFileService::list((dir.path() / "locked").string()); }); });
  ::chmod((dir.path() / "locked").c_str(), 0700);
  EXPECT_EQ(code, EACCES);
}

TEST(SingleFileListing, ItemsInsideAnUnsearchableFolderAreLeftOutNotFatal) {
  // A folder that may be read but not searched: the names come back, their status does not.
  TemporaryDirectory dir;
  fs::create_directory(dir.path() / "r");
  writeFile(dir.path() / "r" / "one", "1");
  ::chmod((dir.path() / "r").c_str(), 0444);
  std::optional<MacSingleFileList> list;
  testing::runWithoutPermissionOverride(
      [&] { list = MacSingleFileService::list((dir.path() / "r").string()); });
  ::chmod((dir.path() / "r").c_str(), 0700);
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(list->entries.empty());
}

TEST(SingleFileListing, LinksAreListedAsTheLinkNotItsTarget) {
  TemporaryDirectory dir;
  fs::create_directory(dir.path() / "target");
  fs::create_directory_symlink(dir.path() / "target", dir.path() / "link");
  const auto list = MacSingleFileService::list(dir.path().string());
  EXPECT_EQ(names(list), (std::vector<std::string>{"target", "link"}));
  EXPECT_FALSE(list.entries[1].isDirectory);
}

TEST(SingleFileCompare, FinderOrder) {
  using MacSingleFileService::standardCompare;
  EXPECT_LT(standardCompare("file9", "file10"), 0);
  EXPECT_GT(standardCompare("file10", "file9"), 0);
  EXPECT_LT(standardCompare("a", "B"), 0);
  EXPECT_EQ(standardCompare("ABC", "abc"), 0);
  EXPECT_LT(standardCompare("x2y", "x10a"), 0);
  EXPECT_LT(standardCompare("a", "ab"), 0);
  EXPECT_EQ(standardCompare("v007", "v7"), 0);
  EXPECT_LT(standardCompare("99999999999999999999999", "100000000000000000000000"), 0);
  EXPECT_EQ(standardCompare("Äpfel", "äpfel"), 0);
}

// MARK: - Command documents

TEST(SingleFileCommandDecode, ReadsAValidCommand) {
  const auto decoded = MacSingleFileCommand::decode(
      R"({"protocolName":"VantrelMac.SingleFileCommand.v1","command":2,"path":"C:\\x",)"
      R"("remotePath":"D:\\in","files":["a","b"],"extra":[1,2]})");
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->command, 2);
  EXPECT_EQ(decoded->path, "C:\\x");
  EXPECT_EQ(decoded->remotePath, "D:\\in");
  EXPECT_EQ(decoded->files, (std::vector<std::string>{"a", "b"}));
}

TEST(SingleFileCommandDecode, RejectsEveryMalformedDocument) {
  const std::string good = R"("protocolName":"VantrelMac.SingleFileCommand.v1")";
  const std::vector<std::string> bad = {
      "",
      "not json",
      "[]",
      "null",
      R"({"protocolName":"VantrelMac.SingleFileList.v1","command":1,"path":"/","remotePath":"","files":[]})",
      R"({"protocolName":"VantrelMac.SingleFileCommand.v2","command":1,"path":"/","remotePath":"","files":[]})",
      R"({"protocolName":"vantrelmac.singlefilecommand.v1","command":1,"path":"/","remotePath":"","files":[]})",
      "{" + good + R"(,"command":1,"path":"/","files":[]})",
      "{" + good + R"(,"command":1,"path":"/","remotePath":null,"files":[]})",
      "{" + good + R"(,"command":"1","path":"/","remotePath":"","files":[]})",
      "{" + good + R"(,"command":1.5,"path":"/","remotePath":"","files":[]})",
      "{" + good + R"(,"command":true,"path":"/","remotePath":"","files":[]})",
      "{" + good + R"(,"command":18446744073709551615,"path":"/","remotePath":"","files":[]})",
      "{" + good + R"(,"command":1,"path":5,"remotePath":"","files":[]})",
      "{" + good + R"(,"command":1,"path":"/","remotePath":"","files":"a"})",
      "{" + good + R"(,"command":1,"path":"/","remotePath":"","files":["a",1]})",
      "{" + good + R"(,"command":1,"path":"/","remotePath":"","files":[null]})",
      "{" + good + R"(,"command":1,"path":"/","remotePath":"","files":[]} trailing)",
      "{" + good + R"(,"command":1,"path":"/","remotePath":"","files":[])",
  };
  for (const auto& text : bad) {
    EXPECT_FALSE(MacSingleFileCommand::decode(text).has_value()) << text;
  }
  EXPECT_TRUE(
      MacSingleFileCommand::decode("{" + good + R"(,"command":-3,"path":"/","remotePath":"","files":[]})")
          .has_value());
}

// MARK: - Commands

TEST(SingleFileExecute, CreateMakesOnlyTheFirstFolder) {
  TemporaryDirectory dir;
  const auto path = MacSingleFileService::execute(command(1, dir.path(), {"new", "ignored"}));
  EXPECT_EQ(path, dir.path().string());
  EXPECT_TRUE(fs::is_directory(dir.path() / "new"));
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"new"});
}

TEST(SingleFileExecute, CreateOverAnExistingNameFailsWithTheSystemError) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "taken", "keep");
  EXPECT_EQ(posixFailure([&] { MacSingleFileService::execute(command(1, dir.path(), {"taken"})); }), EEXIST);
  EXPECT_EQ(testing::readFile(dir.path() / "taken"), toBytes("keep"));
  EXPECT_EQ(posixFailure([&] { MacSingleFileService::execute(command(1, dir.path() / "missing", {"x"})); }),
            ENOENT);
}

TEST(SingleFileExecute, WrongNumberOfNames) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "a", "1");
  using Case = MacSingleFileError::Case;
  EXPECT_EQ(refusal([&] { MacSingleFileService::execute(command(1, dir.path(), {})); }),
            Case::fileNoSuchFile);
  EXPECT_EQ(refusal([&] { MacSingleFileService::execute(command(2, dir.path(), {"a"})); }),
            Case::fileNoSuchFile);
  EXPECT_EQ(refusal([&] {
              MacSingleFileService::execute(command(2, dir.path(), {"a", "b", "c"}));
            }),
            Case::fileNoSuchFile);
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"a"});
}

TEST(SingleFileExecute, UnsupportedCodes) {
  TemporaryDirectory dir;
  for (const std::int64_t code : {0LL, 4LL, 5LL, -1LL, 1LL << 40}) {
    EXPECT_EQ(refusal([&] { MacSingleFileService::execute(command(code, dir.path(), {"a"})); }),
              MacSingleFileError::Case::featureUnsupported)
        << code;
  }
}

TEST(SingleFileExecute, InvalidNamesAreRefusedByEveryCommand) {
  TemporaryDirectory dir;
  fs::create_directory(dir.path() / "inner");
  writeFile(dir.path() / "a", "1");
  const std::vector<std::string> invalid = {
      "", ".", "..", "x/y", "../a", "x\\y", "..\\a", std::string("a\0b", 3), "/"};
  for (const auto& name : invalid) {
    SCOPED_TRACE(name);
    using Case = MacSingleFileError::Case;
    const auto base = dir.path() / "inner";
    EXPECT_EQ(refusal([&] { MacSingleFileService::execute(command(1, base, {name})); }),
              Case::fileWriteInvalidFileName);
    EXPECT_EQ(refusal([&] {
                MacSingleFileService::execute(command(2, dir.path(), {"a", name}));
              }),
              Case::fileWriteInvalidFileName);
    EXPECT_EQ(refusal([&] {
                MacSingleFileService::execute(command(2, dir.path(), {name, "b"}));
              }),
              Case::fileWriteInvalidFileName);
  }
  for (const auto& name : {std::string(""), std::string("."), std::string(".."), std::string("a\0b", 3)}) {
    EXPECT_EQ(refusal([&] { MacSingleFileService::execute(command(3, dir.path(), {name})); }),
              MacSingleFileError::Case::fileWriteInvalidFileName);
  }
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"a", "inner"}));
  EXPECT_TRUE(fs::is_empty(dir.path() / "inner"));
}

TEST(SingleFileExecute, RenameMovesWithinTheFolder) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "old", "content");
  EXPECT_EQ(MacSingleFileService::execute(command(2, dir.path(), {"old", "새 이름"})), dir.path().string());
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"새 이름"});
  EXPECT_EQ(readFile(dir.path() / "새 이름"), toBytes("content"));
}

TEST(SingleFileExecute, RenameNeverReplacesAnExistingName) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "a", "first");
  writeFile(dir.path() / "b", "second");
  fs::create_directory(dir.path() / "d");
  EXPECT_EQ(posixFailure([&] { MacSingleFileService::execute(command(2, dir.path(), {"a", "b"})); }), EEXIST);
  EXPECT_EQ(posixFailure([&] { MacSingleFileService::execute(command(2, dir.path(), {"a", "d"})); }), EEXIST);
  EXPECT_EQ(posixFailure([&] { MacSingleFileService::execute(command(2, dir.path(), {"a", "a"})); }), EEXIST);
  EXPECT_EQ(readFile(dir.path() / "a"), toBytes("first"));
  EXPECT_EQ(readFile(dir.path() / "b"), toBytes("second"));
  EXPECT_EQ(posixFailure([&] {
              MacSingleFileService::execute(command(2, dir.path(), {"missing", "c"}));
            }),
            ENOENT);
}

TEST(SingleFileExecute, DeleteBareNameThenFullPathThenRefusesAnotherFolder) {
  TemporaryDirectory dir;
  const auto base = dir.path() / "base";
  const auto other = dir.path() / "other";
  fs::create_directories(base);
  fs::create_directories(other);
  writeFile(base / "one", "1");
  writeFile(base / "two", "2");
  writeFile(base / "three", "3");
  writeFile(other / "elsewhere", "4");
  EXPECT_EQ(refusal([&] {
              MacSingleFileService::execute(command(
                  3, base, {"one", (base / "two").string(), (other / "elsewhere").string(), "three"}));
            }),
            MacSingleFileError::Case::fileWriteInvalidFileName);
  EXPECT_EQ(namesIn(base), std::set<std::string>{"three"});
  EXPECT_EQ(namesIn(other), std::set<std::string>{"elsewhere"});
}

TEST(SingleFileExecute, DeleteAcceptsWindowsStyleFullPaths) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "x", "1");
  auto item = (dir.path() / "x").string();
  std::replace(item.begin(), item.end(), '/', '\\');
  MacSingleFileService::execute(command(3, dir.path(), {item}));
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(SingleFileExecute, DeletePathsThatNameTheFolderItselfAreRefused) {
  TemporaryDirectory dir;
  const auto base = dir.path() / "base";
  fs::create_directories(base / "sub");
  writeFile(base / "keep", "1");
  for (const auto& item :
       {(base / "sub" / "..").string(), (base / ".").string(), base.string() + "/", base.string(),
        (dir.path() / "..").string(), std::string("/.."), std::string("/")}) {
    SCOPED_TRACE(item);
    EXPECT_EQ(refusal([&] { MacSingleFileService::execute(command(3, base, {item})); }),
              MacSingleFileError::Case::fileWriteInvalidFileName);
  }
  // The root as the command's folder: "/.." standardises onto the folder itself.
  EXPECT_EQ(refusal([&] { MacSingleFileService::execute(command(3, "/", {"/.."})); }),
            MacSingleFileError::Case::fileWriteInvalidFileName);
  EXPECT_EQ(namesIn(base), (std::set<std::string>{"keep", "sub"}));
}

TEST(SingleFileExecute, DeleteRemovesFoldersWholeButNeverFollowsLinks) {
  TemporaryDirectory dir;
  const auto base = dir.path() / "base";
  const auto outside = dir.path() / "outside";
  fs::create_directories(base / "tree" / "deeper" / "deepest");
  fs::create_directories(outside);
  writeFile(outside / "precious", "keep me");
  writeFile(base / "tree" / "f", "1");
  writeFile(base / "tree" / "deeper" / "deepest" / "g", "2");
  fs::create_directory_symlink(outside, base / "tree" / "deeper" / "to-outside");
  fs::create_symlink(outside / "precious", base / "link-to-file");
  MacSingleFileService::execute(command(3, base, {"tree", "link-to-file"}));
  EXPECT_TRUE(fs::is_empty(base));
  EXPECT_EQ(readFile(outside / "precious"), toBytes("keep me"));
}

TEST(SingleFileExecute, DeleteStopsAtTheFirstFailureKeepingEarlierRemovals) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "a", "1");
  writeFile(dir.path() / "c", "3");
  EXPECT_EQ(posixFailure([&] {
              MacSingleFileService::execute(command(3, dir.path(), {"a", "missing", "c"}));
            }),
            ENOENT);
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"c"});
}

TEST(SingleFileExecute, EmptyDeleteSucceedsAndReturnsTheStandardisedFolder) {
  TemporaryDirectory dir;
  fs::create_directory(dir.path() / "sub");
  EXPECT_EQ(MacSingleFileService::execute(
                command(3, dir.path().string() + "/./sub/../", std::vector<std::string>{})),
            dir.path().string());
}

TEST(SingleFileExecute, ErrorTextsOfTheServiceRefusals) {
  EXPECT_EQ(MacSingleFileError::fileNoSuchFile().localizedDescription(), "The file doesn\u2019t exist.");
  EXPECT_EQ(MacSingleFileError::fileWriteInvalidFileName().errorCode(), 514);
  EXPECT_EQ(MacSingleFileError::featureUnsupported().errorCode(), 3328);
  EXPECT_EQ(MacSingleFileError::fileNoSuchFile().errorCode(), 4);
}

TEST(PrintableFileName, EscapesOnlyBytesOutsideValidSequences) {
  EXPECT_EQ(text::printableFileName("plain"), "plain");
  EXPECT_EQ(text::printableFileName("한글"), "한글");
  EXPECT_EQ(text::printableFileName(std::string("\xC0\xAF")), "%C0%AF");         // overlong "/"
  EXPECT_EQ(text::printableFileName(std::string("\xED\xA0\x80")), "%ED%A0%80");  // surrogate
  EXPECT_EQ(text::printableFileName(std::string("a\xE2\x82")), "a%E2%82");       // truncated
  EXPECT_EQ(text::printableFileName(std::string("\xF0\x9F\x98\x80\xFF")), "\xF0\x9F\x98\x80%FF");
}

}  // namespace
}  // namespace vantrel
