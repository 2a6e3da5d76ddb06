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

// ---- Unsigned reads: a non-negative integral number within range, nothing else ----

TEST(UserDefaults, UnsignedReadsTakeOnlyNonNegativeIntegralNumbers) {
  struct Case {
    const char* stored;
    std::optional<std::uint64_t> value;
  };
  for (const auto& c :
       {Case{R"("41517")", std::nullopt}, Case{R"("0")", std::nullopt}, Case{"false", std::nullopt},
        Case{"true", std::nullopt}, Case{"0", 0}, Case{"-1", std::nullopt}, Case{"80", 80},
        Case{"80.5", std::nullopt}, Case{"80.0", 80}, Case{"-80.5", std::nullopt},
        Case{"18446744073709551615", 18446744073709551615ULL},
        Case{"9223372036854775807", 9223372036854775807ULL}, Case{"1e30", std::nullopt},
        Case{"null", std::nullopt}, Case{"[1]", std::nullopt}}) {
    InMemoryUserDefaults defaults(Value{{"k", Value::parse(c.stored)}});
    EXPECT_EQ(defaults.unsignedInteger("k"), c.value) << c.stored;
  }
}

constexpr auto none = std::nullopt;

// The settings' loaders read by the type that was stored: text is never a number, a number never
// text, and a Boolean neither.
TEST(UserDefaults, StoredTypeReadsTakeOnlyThatType) {
  struct Case {
    const char* stored;
    std::optional<std::string> text;
    std::optional<std::int64_t> integer;
  };
  for (const auto& c :
       {Case{R"("41517")", "41517", none}, Case{R"("41517xyz")", "41517xyz", none}, Case{R"("")", "", none},
        Case{"80", none, 80}, Case{"-1", none, -1}, Case{"80.0", none, 80}, Case{"-0.0", none, 0},
        Case{"80.5", none, none}, Case{"true", none, none}, Case{"false", none, none},
        Case{"-9223372036854775808", none, std::numeric_limits<std::int64_t>::min()},
        Case{"-9223372036854775808.0", none, std::numeric_limits<std::int64_t>::min()},
        Case{"9223372036854775808.0", none, none}, Case{"18446744073709551615", none, none},
        Case{"1e300", none, none}, Case{"null", none, none}, Case{"[1]", none, none},
        Case{R"({"$data":"TWFu"})", none, none}}) {
    InMemoryUserDefaults defaults(Value{{"k", Value::parse(c.stored)}});
    EXPECT_EQ(defaults.storedString("k"), c.text) << c.stored;
    EXPECT_EQ(defaults.storedInteger("k"), c.integer) << c.stored;
  }
  InMemoryUserDefaults empty;
  EXPECT_FALSE(empty.storedString("k"));
  EXPECT_FALSE(empty.storedInteger("k"));
}

TEST(UserDefaults, AMissingKeyReadsAsNoneByEveryGetter) {
  InMemoryUserDefaults defaults;
  EXPECT_FALSE(defaults.value("k"));
  EXPECT_FALSE(defaults.storedString("k"));
  EXPECT_FALSE(defaults.storedInteger("k"));
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
  EXPECT_FALSE(defaults.storedString("d"));
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
  EXPECT_EQ(defaults.storedInteger("a"), 2);  // later changes win
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
  EXPECT_EQ(reloaded.value("b"), Value(false));
  EXPECT_EQ(reloaded.storedString("s"), "false");  // text stays text
  EXPECT_EQ(reloaded.storedInteger("i"), -5);
  EXPECT_EQ(reloaded.unsignedInteger("u"), 18446744073709551615ULL);
  EXPECT_EQ(reloaded.storedString("k"), "한국어");
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
  EXPECT_EQ(defaults.storedString("keep"), "new");
}

TEST_F(JSONFileUserDefaultsTest, AReplacedFileKeepsMode0600EvenWhenTheOldOneWasWider) {
  writeText(file, R"({"a":1})");
  ::chmod(file.c_str(), 0644);
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_EQ(defaults.storedInteger("a"), 1);
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

// The log says what made the file unusable: broken JSON and JSON of another shape are told apart.
TEST_F(JSONFileUserDefaultsTest, TheReasonForSettingAFileAsideNamesWhatWasWrong) {
  struct Case {
    const char* text;
    const char* reason;
  };
  // Bytes count from 1; the end of the text is one past its last byte.
  for (const auto& c :
       {Case{"{\"a\":", "it is not valid JSON (byte 6)"}, Case{"{\"a\"=1}", "it is not valid JSON (byte 5)"},
        Case{"[1,2]", "it is JSON but not an object (its top level is array)"},
        Case{"\"text\"", "it is JSON but not an object (its top level is string)"},
        Case{"1e999", "it is JSON but not an object (its top level is null)"}}) {
    std::string reason;
    EXPECT_FALSE(JSONFileUserDefaults::decodeFile(c.text, reason)) << c.text;
    EXPECT_EQ(reason, c.reason) << c.text;
  }
}

// A number no double can hold is one bad value, not a bad file: it reads as null (a type no key
// takes, so its key falls back to its default) and everything else in the file is kept.
struct OutOfRangeCase {
  const char* name;
  std::string text;
  const char* kept;  // the store read, as JSON
  std::string reason;
};

class OutOfRangeNumber : public ::testing::TestWithParam<OutOfRangeCase> {};

TEST_P(OutOfRangeNumber, ReadsAsNullAndKeepsTheRest) {
  const auto& c = GetParam();
  std::string reason = "left over";
  const auto decoded = JSONFileUserDefaults::decodeFile(c.text, reason);
  ASSERT_TRUE(decoded) << reason;
  EXPECT_EQ(*decoded, Value::parse(c.kept));
  EXPECT_EQ(reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    UserDefaults, OutOfRangeNumber,
    ::testing::Values(
        OutOfRangeCase{
            "Port", R"({"VantrelMac.directConnection.port": 1e999, "VantrelMac.directConnection.host":"m"})",
            R"({"VantrelMac.directConnection.port":null,"VantrelMac.directConnection.host":"m"})",
            "\"VantrelMac.directConnection.port\" holds 1e999, a number beyond the range of a "
            "double; it reads as no value"},
        OutOfRangeCase{"NegativeAndNested", R"({"a":[1,-2E+400,{"b":3}],"c" : 5})",
                       R"({"a":[1,null,{"b":3}],"c":5})",
                       "\"a\" holds -2E+400, a number beyond the range of a double; it reads as no value"},
        OutOfRangeCase{"KeyWithEscapes", R"({"k\"\u00e9y":1e309})", R"({"k\"\u00e9y":null})",
                       "\"k\"éy\" holds 1e309, a number beyond the range of a double; it reads as no value"},
        OutOfRangeCase{"FourHundredDigits", "{\"d\":" + std::string(400, '9') + "}", R"({"d":null})",
                       "\"d\" holds " + std::string(32, '9') +
                           "…, a number beyond the range of a double; it reads as no value"},
        OutOfRangeCase{"TextLookingLikeANumberIsText", R"({"s":"1e999","t":1e999,"u":"x\\"})",
                       R"({"s":"1e999","t":null,"u":"x\\"})",
                       "\"t\" holds 1e999, a number beyond the range of a double; it reads as no value"},
        OutOfRangeCase{
            "Many", R"({"a":1e999,"b":2e999,"c":3e999,"d":4e999,"e":1e308})",
            R"({"a":null,"b":null,"c":null,"d":null,"e":1e308})",
            "\"a\" holds 1e999, a number beyond the range of a double; \"b\" holds 2e999, a number "
            "beyond the range of a double; \"c\" holds 3e999, a number beyond the range of a "
            "double; and 1 more such numbers; they read as no value"},
        OutOfRangeCase{"Clean", R"({"e":1e308,"f":-1e-999})", R"({"e":1e308,"f":-0.0})", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Text that is no JSON stays refused: setting a number aside never makes a bad file good.
TEST(UserDefaults, ANumberOutOfRangeInTextThatIsNoJSONLeavesItRefused) {
  for (const char* text : {R"({"a":1e999,})", R"({"a":01e999})", R"({"a":1e999e5})", R"({"a":x1e999})",
                           R"({"a":1e999 "b":1})", R"({"a":"1e999)", R"({"a":--1e999})"}) {
    std::string reason;
    EXPECT_FALSE(JSONFileUserDefaults::decodeFile(text, reason)) << text;
    EXPECT_EQ(reason.rfind("it is not valid JSON", 0), 0U) << text << ": " << reason;
  }
  // The position is that of the original text, not of the one with null in it.
  std::string reason;
  EXPECT_FALSE(JSONFileUserDefaults::decodeFile(R"({"a":1e999,"b":})", reason));
  EXPECT_EQ(reason, "it is not valid JSON (byte 16)");
}

TEST_F(JSONFileUserDefaultsTest, ANumberOutOfRangeCostsOnlyItsOwnSetting) {
  writeText(file, R"({"VantrelMac.accountLogin.accountID":"alice","VantrelMac.directConnection.host":"mgr",)"
                  R"("VantrelMac.directConnection.port":1e999,"VantrelMac.directConnection.userID":"u"})");
  ::chmod(file.c_str(), 0600);
  MemoryLogSink sink;
  JSONFileUserDefaults defaults("local.vantrel.VantrelMac");
  EXPECT_FALSE(defaults.quarantinedFile());
  EXPECT_EQ(filesIn(folder), std::vector<fs::path>{"defaults.json"});
  EXPECT_EQ(defaults.value("VantrelMac.accountLogin.accountID"), Value("alice"));
  EXPECT_EQ(defaults.value("VantrelMac.directConnection.host"), Value("mgr"));
  EXPECT_EQ(defaults.value("VantrelMac.directConnection.port"), Value(nullptr));
  EXPECT_TRUE(
      sink.contains("\"VantrelMac.directConnection.port\" holds 1e999, a number beyond the range of a "
                    "double; it reads as no value; the other settings are kept"));
  // The next save writes what was kept.
  defaults.setString("VantrelMac.directConnection.userID", "v");
  defaults.flush();
  ASSERT_TRUE(defaults.lastWriteSucceeded());
  EXPECT_EQ(Value::parse(readText(file)), (Value{{"VantrelMac.accountLogin.accountID", "alice"},
                                                 {"VantrelMac.directConnection.host", "mgr"},
                                                 {"VantrelMac.directConnection.port", nullptr},
                                                 {"VantrelMac.directConnection.userID", "v"}}));
}

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
  EXPECT_EQ(defaults.value("a"), Value(true));
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
  EXPECT_FALSE(defaults.storedInteger("a"));
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
  EXPECT_EQ(defaults.storedString("k"), "한국어");
  EXPECT_EQ(defaults.value("on"), Value(true));
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
  EXPECT_EQ(JSONFileUserDefaults::standard("local.vantrel.VantrelMac")->storedString("a"), "b");
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
