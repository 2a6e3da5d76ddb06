#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Model/Settings/UserDefaults.hpp"
#include "ReadOnlyFolder.hpp"
#include "Support/JSONNesting.hpp"
#include "Support/SystemLog.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Value = UserDefaults::Value;

std::string readText(const fs::path& path) {
  std::ifstream file(path);
  std::ostringstream out;
  out << file.rdbuf();
  return out.str();
}

void writeText(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class JSONFileUserDefaultsTest : public ::testing::Test {
 protected:
  testing::TemporaryHome home;
  fs::path folder = home.path() / ".config" / "local.vantrel.VantrelMac";
  fs::path file = folder / "defaults.json";
};

// ---- Typed reads convert the way the platform's settings getters do ----

struct TypedCase {
  const char* stored;
  std::optional<std::string> text;
  std::optional<bool> flag;
  std::optional<std::int64_t> integer;
  std::optional<std::uint64_t> unsignedValue;
};

class TypedReads : public ::testing::TestWithParam<TypedCase> {};

TEST_P(TypedReads, ConvertLikeThePlatformsGetters) {
  const auto& c = GetParam();
  InMemoryUserDefaults defaults(Value{{"k", Value::parse(c.stored)}});
  EXPECT_EQ(defaults.string("k"), c.text) << c.stored;
  EXPECT_EQ(defaults.boolean("k"), c.flag) << c.stored;
  EXPECT_EQ(defaults.integer("k"), c.integer) << c.stored;
  EXPECT_EQ(defaults.unsignedInteger("k"), c.unsignedValue) << c.stored;
}

constexpr auto none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    UserDefaults, TypedReads,
    ::testing::Values(
        // Text read as a number or a Boolean.
        TypedCase{R"("41517")", "41517", true, 41517, none}, TypedCase{R"("80")", "80", true, 80, none},
        TypedCase{R"(" -12ab")", " -12ab", true, -12, none}, TypedCase{R"("abc")", "abc", false, 0, none},
        TypedCase{R"("")", "", false, 0, none}, TypedCase{R"("YES")", "YES", true, 0, none},
        TypedCase{R"("yes")", "yes", true, 0, none}, TypedCase{R"("true")", "true", true, 0, none},
        TypedCase{R"("1")", "1", true, 1, none}, TypedCase{R"("007")", "007", true, 7, none},
        TypedCase{R"("NO")", "NO", false, 0, none}, TypedCase{R"("false")", "false", false, 0, none},
        TypedCase{R"("0")", "0", false, 0, none}, TypedCase{R"("-0")", "-0", false, 0, none},
        // Beyond the 64-bit range, text gives the nearest end of it.
        TypedCase{R"("99999999999999999999")", "99999999999999999999", true, 9223372036854775807LL, none},
        TypedCase{R"("-99999999999999999999")", "-99999999999999999999", true,
                  std::numeric_limits<std::int64_t>::min(), none},
        // Booleans and numbers.
        TypedCase{"false", "0", false, 0, none}, TypedCase{"true", "1", true, 1, none},
        TypedCase{"0", "0", false, 0, 0}, TypedCase{"-1", "-1", true, -1, none},
        TypedCase{"80", "80", true, 80, 80}, TypedCase{"80.5", "80.5", true, 80, none},
        TypedCase{"-80.5", "-80.5", true, -80, none}, TypedCase{"80.0", "80.0", true, 80, 80},
        TypedCase{"18446744073709551615", "18446744073709551615", true, none, 18446744073709551615ULL},
        TypedCase{"9223372036854775807", "9223372036854775807", true, 9223372036854775807LL,
                  9223372036854775807ULL},
        TypedCase{"1e30", "1e+30", true, none, none},
        // Nothing the getters can use.
        TypedCase{"null", none, false, 0, none}, TypedCase{"[1]", none, false, 0, none}));

TEST(UserDefaults, AMissingKeyReadsAsNoneByEveryGetter) {
  InMemoryUserDefaults defaults;
  EXPECT_FALSE(defaults.string("k"));
  EXPECT_FALSE(defaults.boolean("k"));
  EXPECT_FALSE(defaults.integer("k"));
  EXPECT_FALSE(defaults.unsignedInteger("k"));
}

TEST(UserDefaults, DataRoundTripsThroughBase64) {
  InMemoryUserDefaults defaults;
  for (const Bytes& bytes :
       {Bytes{}, Bytes{0x00}, Bytes{0xFF, 0x00}, Bytes{'a', 'b', 'c'}, Bytes{1, 2, 3, 4}}) {
    defaults.setData("d", bytes);
    EXPECT_EQ(defaults.data("d"), bytes);
  }
  defaults.setData("d", toBytes("Man"));
  EXPECT_EQ(*defaults.value("d"), (Value{{"$data", "TWFu"}}));
  defaults.setData("d", toBytes("Ma"));
  EXPECT_EQ(*defaults.value("d"), (Value{{"$data", "TWE="}}));
  // Data is not text and text is not data.
  EXPECT_FALSE(defaults.string("d"));
  defaults.setString("d", "TWFu");
  EXPECT_FALSE(defaults.data("d"));
}

TEST(UserDefaults, MalformedDataValuesDoNotDecode) {
  for (const char* stored : {R"({"$data":"TWF"})", R"({"$data":"TW=u"})", R"({"$data":"TWFu "})",
                             R"({"$data":"T*Fu"})", R"({"$data":1})", R"({"$data":"TWFu","x":1})", R"({})"}) {
    EXPECT_FALSE(UserDefaults::decodeDataValue(Value::parse(stored))) << stored;
  }
}

TEST(UserDefaults, SetValuesWritesOnceAndRemoveWritesOnlyWhenSomethingGoes) {
  InMemoryUserDefaults defaults;
  defaults.setValues({{"a", 1}, {"b", "x"}, {"a", 2}});
  EXPECT_EQ(defaults.writeCount(), 1U);
  EXPECT_EQ(defaults.integer("a"), 2);  // later changes win
  defaults.removeValue("missing");
  EXPECT_EQ(defaults.writeCount(), 1U);
  defaults.removeValue("a");
  EXPECT_EQ(defaults.writeCount(), 2U);
  EXPECT_EQ(defaults.snapshot(), (Value{{"b", "x"}}));
}

// ---- The file store ----

TEST_F(JSONFileUserDefaultsTest, FirstUseCreatesAPrivateFolderAndFile) {
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_EQ(defaults.file(), file);
  EXPECT_EQ(defaults.snapshot(), Value::object());
  defaults.setBool("flag", false);
  defaults.flush();
  EXPECT_TRUE(defaults.lastWriteSucceeded());
  EXPECT_EQ(modeOf(folder), 0700U);
  EXPECT_EQ(modeOf(file), 0600U);
  EXPECT_EQ(Value::parse(readText(file)), (Value{{"flag", false}}));
  // No temporary file is left behind.
  EXPECT_EQ(filesIn(folder), std::vector<fs::path>{"defaults.json"});
}

TEST_F(JSONFileUserDefaultsTest, TypesSurviveAReload) {
  {
    JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
    defaults.setValues({{"b", false},
                        {"s", "false"},
                        {"i", -5},
                        {"u", std::uint64_t{18446744073709551615ULL}},
                        {"k", "한국어"}});
    defaults.setData("d", Bytes{0, 1, 2, 0xFF});
  }
  JSONFileUserDefaults reloaded("local.vantrel.VantrelMac");
  EXPECT_EQ(reloaded.boolean("b"), false);
  EXPECT_EQ(reloaded.string("s"), "false");
  EXPECT_EQ(reloaded.boolean("s"), false);  // the text "false" is no true
  EXPECT_EQ(reloaded.integer("i"), -5);
  EXPECT_EQ(reloaded.unsignedInteger("u"), 18446744073709551615ULL);
  EXPECT_EQ(reloaded.string("k"), "한국어");
  EXPECT_EQ(reloaded.data("d"), (Bytes{0, 1, 2, 0xFF}));
}

TEST_F(JSONFileUserDefaultsTest, AWiderFolderOfOursIsMadePrivate) {
  fs::create_directories(folder);
  ::chmod(folder.c_str(), 0755);
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  defaults.setInteger("i", 1);
  defaults.flush();
  EXPECT_EQ(modeOf(folder), 0700U);
  EXPECT_TRUE(defaults.lastWriteSucceeded());
}

TEST_F(JSONFileUserDefaultsTest, AFailedRenameLeavesTheOldFileWhole) {
  writeText(file, R"({"keep":"old"})");
  ::chmod(file.c_str(), 0600);
  JSONFileUserDefaults defaults(JSONFileUserDefaults::Options{file, [](int, const char*, const char*) {
                                                                errno = EIO;
                                                                return -1;
                                                              }});
  MemoryLogSink sink;
  defaults.setString("keep", "new");
  defaults.flush();
  EXPECT_FALSE(defaults.lastWriteSucceeded());
  EXPECT_EQ(readText(file), R"({"keep":"old"})");
  EXPECT_EQ(filesIn(folder), std::vector<fs::path>{"defaults.json"});  // the temporary file is gone
  EXPECT_TRUE(sink.contains("rename"));
  // The value is still there for this run.
  EXPECT_EQ(defaults.string("keep"), "new");
}

TEST_F(JSONFileUserDefaultsTest, AReplacedFileKeepsMode0600EvenWhenTheOldOneWasWider) {
  writeText(file, R"({"a":1})");
  ::chmod(file.c_str(), 0644);
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_EQ(defaults.integer("a"), 1);
  defaults.setInteger("a", 2);
  defaults.flush();
  EXPECT_EQ(modeOf(file), 0600U);
  EXPECT_EQ(Value::parse(readText(file)), (Value{{"a", 2}}));
}

struct DamagedCase {
  const char* name;
  std::function<void(const fs::path& file)> make;
};

class DamagedFile : public JSONFileUserDefaultsTest, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedFile, ReadsAsEmptyIsKeptAsideAndLogged) {
  fs::create_directories(folder);
  ::chmod(folder.c_str(), 0700);
  GetParam().make(file);
  const auto before = fs::symlink_status(file).type();
  MemoryLogSink sink;
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_EQ(defaults.snapshot(), Value::object());
  ASSERT_TRUE(defaults.quarantinedFile());
  const auto aside = *defaults.quarantinedFile();
  EXPECT_EQ(aside.parent_path(), folder);
  EXPECT_EQ(aside.filename().string().rfind("defaults.json.corrupt-", 0), 0U) << aside;
  EXPECT_EQ(fs::symlink_status(aside).type(), before);  // moved, not copied or followed
  EXPECT_TRUE(sink.contains("kept as"));
  // The next write makes a fresh, private file and leaves the damaged one alone.
  defaults.setBool("fresh", true);
  defaults.flush();
  EXPECT_TRUE(defaults.lastWriteSucceeded());
  EXPECT_EQ(fs::symlink_status(file).type(), fs::file_type::regular);
  EXPECT_EQ(Value::parse(readText(file)), (Value{{"fresh", true}}));
  EXPECT_TRUE(fs::exists(fs::symlink_status(aside)));
}

INSTANTIATE_TEST_SUITE_P(
    UserDefaults, DamagedFile,
    ::testing::Values(
        DamagedCase{"NotJSON", [](const fs::path& f) { writeText(f, "{\"a\":"); }},
        DamagedCase{"NotAnObject", [](const fs::path& f) { writeText(f, "[1,2]"); }},
        DamagedCase{"Empty", [](const fs::path& f) { writeText(f, ""); }},
        DamagedCase{"Binary", [](const fs::path& f) { writeText(f, std::string("\xFF\x00\x01", 3)); }},
        DamagedCase{"SymbolicLink",
                    [](const fs::path& f) {
                      writeText(f.parent_path() / "elsewhere.json", R"({"secret":1})");
                      fs::create_symlink(f.parent_path() / "elsewhere.json", f);
                    }},
        DamagedCase{"Folder", [](const fs::path& f) { fs::create_directories(f); }},
        DamagedCase{"Pipe", [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); }},
        // Valid JSON, but deep enough to overflow the stack of whatever copies or
        // writes the document back.
        DamagedCase{"NestedSeventyThousandDeep",
                    [](const fs::path& f) {
                      writeText(f, "{\"zzz\":" + std::string(70'000, '[') + std::string(70'000, ']') + "}");
                    }},
        DamagedCase{"NestedOnePastTheLimit",
                    [](const fs::path& f) {
                      const auto inner = maximumJSONNesting;
                      writeText(f, "{\"a\":" + std::string(inner, '[') + std::string(inner, ']') + "}");
                    }},
        DamagedCase{"TooLarge",
                    [](const fs::path& f) {
                      std::string big = "{\"a\":\"";
                      big.append(JSONFileUserDefaults::maximumFileSize, 'x');
                      writeText(f, big + "\"}");
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JSONFileUserDefaultsTest, AFileNestedToTheLimitLoadsAndIsWrittenBack) {
  const auto inner = maximumJSONNesting - 1;
  const auto deep = Value::parse(std::string(inner, '[') + std::string(inner, ']'));
  writeText(file, Value{{"deep", deep}}.dump());
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_FALSE(defaults.quarantinedFile());
  EXPECT_EQ(defaults.value("deep"), deep);
  defaults.setInteger("i", 1);
  defaults.flush();
  EXPECT_TRUE(defaults.lastWriteSucceeded());
  EXPECT_EQ(Value::parse(readText(file)), (Value{{"deep", deep}, {"i", 1}}));
}

TEST_F(JSONFileUserDefaultsTest, ALinkedTargetIsNeverWrittenThrough) {
  const auto elsewhere = home.path() / "elsewhere.json";
  writeText(elsewhere, R"({"secret":1})");
  fs::create_directories(folder);
  fs::create_symlink(elsewhere, file);
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  defaults.setInteger("secret", 2);
  defaults.flush();
  EXPECT_EQ(readText(elsewhere), R"({"secret":1})");
}

TEST_F(JSONFileUserDefaultsTest, TwoDamagedLoadsInOneSecondKeepBothCopies) {
  writeText(file, "garbage 1");
  JSONFileUserDefaults first("local.vantrel.VantrelMac");
  writeText(file, "garbage 2");
  JSONFileUserDefaults second("local.vantrel.VantrelMac");
  ASSERT_TRUE(first.quarantinedFile() && second.quarantinedFile());
  EXPECT_NE(*first.quarantinedFile(), *second.quarantinedFile());
  EXPECT_EQ(readText(*first.quarantinedFile()), "garbage 1");
  EXPECT_EQ(readText(*second.quarantinedFile()), "garbage 2");
}

TEST_F(JSONFileUserDefaultsTest, ADamagedFileThatCannotBeMovedAsideIsNeverOverwritten) {
  writeText(file, "not json");
  ::chmod(folder.c_str(), 0700);
  MemoryLogSink sink;
  std::optional<JSONFileUserDefaults> loaded;
  {
    testing::ReadOnlyFolder readOnly(folder);  // no rename, no new file
    if (!readOnly.active()) GTEST_SKIP() << "the folder cannot be made read-only here";
    loaded.emplace("local.vantrel.VantrelMac");
  }
  // Even once writing would be possible again, the damaged file is not replaced.
  auto& defaults = *loaded;
  EXPECT_FALSE(defaults.quarantinedFile());
  defaults.setBool("a", true);
  defaults.flush();
  EXPECT_FALSE(defaults.lastWriteSucceeded());
  EXPECT_EQ(readText(file), "not json");
  EXPECT_EQ(defaults.boolean("a"), true);
  EXPECT_TRUE(sink.contains("could not be moved aside"));
}

TEST_F(JSONFileUserDefaultsTest, AFolderThatIsALinkIsNotUsed) {
  const auto real = home.path() / "real";
  fs::create_directories(real);
  ::chmod(real.c_str(), 0700);
  writeText(real / "defaults.json", R"({"a":1})");
  fs::create_directories(folder.parent_path());
  fs::create_symlink(real, folder);
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_FALSE(defaults.integer("a"));
  defaults.setInteger("a", 2);
  defaults.flush();
  EXPECT_FALSE(defaults.lastWriteSucceeded());
  EXPECT_EQ(readText(real / "defaults.json"), R"({"a":1})");
}

TEST_F(JSONFileUserDefaultsTest, UnknownKeysOfOtherComponentsArePreserved) {
  writeText(file, R"({"Other.key":[1,{"x":null}],"a":1})");
  ::chmod(file.c_str(), 0600);
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  defaults.setInteger("a", 2);
  defaults.flush();
  EXPECT_EQ(Value::parse(readText(file)),
            (Value{{"Other.key", Value::parse(R"([1,{"x":null}])")}, {"a", 2}}));
}

// The file as earlier builds wrote it (compact JSON, raw UTF-8, mode 0600 in a 0700 folder) is
// read, and a save writes the same bytes those builds wrote.
TEST_F(JSONFileUserDefaultsTest, AFileOfEarlierBuildsIsReadAndWrittenInTheSameBytes) {
  fs::create_directories(folder);
  ::chmod(folder.c_str(), 0700);
  writeText(file, "{\"a\":1,\"k\":\"\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4\",\"on\":true}");
  ::chmod(file.c_str(), 0600);
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_FALSE(defaults.quarantinedFile());
  EXPECT_EQ(defaults.string("k"), "한국어");
  EXPECT_EQ(defaults.boolean("on"), true);
  defaults.setInteger("a", 2);
  defaults.flush();
  ASSERT_TRUE(defaults.lastWriteSucceeded());
  EXPECT_EQ(readText(file), "{\"a\":2,\"k\":\"\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4\",\"on\":true}");
  EXPECT_EQ(modeOf(file), 0600U);
  EXPECT_EQ(filesIn(folder), std::vector<fs::path>{"defaults.json"});
}

TEST_F(JSONFileUserDefaultsTest, ATargetThatIsNoRegularFileIsNotReplacedAndTheStepIsLogged) {
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  fs::create_directories(file);  // appears after the load
  MemoryLogSink sink;
  defaults.setInteger("a", 1);
  defaults.flush();
  EXPECT_FALSE(defaults.lastWriteSucceeded());
  EXPECT_TRUE(fs::is_directory(file));
  EXPECT_TRUE(sink.contains("(target: File exists)"));
  EXPECT_EQ(filesIn(folder), std::vector<fs::path>{"defaults.json"});
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

TEST_F(JSONFileUserDefaultsTest, TheStandardStoreIsOneInstancePerBundleWhileItLives) {
  auto first = JSONFileUserDefaults::standard("local.vantrel.VantrelMac");
  auto second = JSONFileUserDefaults::standard("local.vantrel.VantrelMac");
  EXPECT_EQ(first, second);  // one set of values, so no instance overwrites another's changes
  EXPECT_NE(first, JSONFileUserDefaults::standard("com.example.other"));
  first->setString("a", "b");
  first.reset();
  second.reset();
  // Once released, the next one reads what the last one wrote.
  EXPECT_EQ(JSONFileUserDefaults::standard("local.vantrel.VantrelMac")->string("a"), "b");
}

TEST_F(JSONFileUserDefaultsTest, ManyQuickWritesEndWithTheNewestContentsOnDisk) {
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  for (int i = 0; i < 500; ++i) defaults.setInteger("counter", i);
  defaults.flush();
  EXPECT_TRUE(defaults.lastWriteSucceeded());
  EXPECT_EQ(Value::parse(readText(file)), (Value{{"counter", 499}}));
  EXPECT_EQ(filesIn(folder), std::vector<fs::path>{"defaults.json"});
}

TEST_F(JSONFileUserDefaultsTest, DestroyingTheStoreWritesWhatIsPending) {
  {
    JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
    defaults.setString("last", "word");
  }
  EXPECT_EQ(Value::parse(readText(file)), (Value{{"last", "word"}}));
}

TEST_F(JSONFileUserDefaultsTest, AFileOfAnotherUserIsKeptAsideUnread) {
  writeText(file, R"({"rememberAccountID":false})");
  if (::chown(file.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "changing the owner needs privileges";
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_EQ(defaults.snapshot(), Value::object());
  ASSERT_TRUE(defaults.quarantinedFile());
  struct stat info {};
  ASSERT_EQ(::lstat(defaults.quarantinedFile()->c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534U);
}

}  // namespace
}  // namespace vantrel
