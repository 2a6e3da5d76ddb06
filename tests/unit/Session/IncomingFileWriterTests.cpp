#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/LegacyFileTransfer.hpp"
#include "Session/IncomingFileReceiver.hpp"
#include "Session/IncomingFileWriter.hpp"
#include "Support/AIChannelError.hpp"
#include "Support/Uuid.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
namespace kinds = DirectAuthEventKinds;
using testing::namesIn;
using testing::patternBytes;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::writeFile;
using Events = std::vector<DirectAuthEvent::Kind>;

constexpr std::size_t chunk = 60'000;
const std::string invalidText = "Invalid legacy clipboard envelope.";
const std::string tooLargeText = "Clipboard value exceeds the safe size limit.";

LegacyFileMetadata record(const fs::path& folder, std::string filename, std::int64_t size,
                          std::int32_t index = 0, std::int32_t total = 1, std::string additional = "") {
  LegacyFileMetadata r;
  r.comNum = 3;
  r.currentIndex = index;
  r.total = total;
  r.isClipboard = true;
  r.fileSize = size;
  r.filename = std::move(filename);
  r.destinationFolder = folder.string();
  r.additionalFolder = std::move(additional);
  return r;
}

Bytes encoded(const LegacyFileMetadata& r) {
  auto bytes = r.encode();
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(Bytes{});
}

// The record for a size the codec refuses to write (negative): patched by hand, little-endian.
Bytes encodedWithSize(LegacyFileMetadata r, std::int64_t size) {
  r.fileSize = 0;
  auto bytes = encoded(r);
  writeInteger<std::int64_t>(bytes, 16, size, Endian::little);
  return bytes;
}

Events failed(const std::string& text) { return {kinds::FileTransferFailed{text}}; }

// Sends a whole file through the receiver in 60,000-byte frames; returns every event.
Events sendFile(IncomingFileReceiver& receiver, const LegacyFileMetadata& r, ByteView content) {
  Events all;
  const auto add = [&](Events more) { all.insert(all.end(), more.begin(), more.end()); };
  add(receiver.handleFrame(10, encoded(r)));
  for (std::size_t offset = 0; offset < content.size(); offset += chunk) {
    add(receiver.handleFrame(12, content.subspan(offset, std::min(chunk, content.size() - offset))));
  }
  add(receiver.handleFrame(15, {}));
  return all;
}

Events progressOnly(const Events& events) {
  Events out;
  for (const auto& e : events) {
    if (std::holds_alternative<kinds::FileTransferProgress>(e)) out.push_back(e);
  }
  return out;
}

mode_t currentUmask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// MARK: - Destinations

struct NameCase {
  std::string filename;
  std::string additional;
  std::vector<std::string> subfolders;
  std::string name;
};

TEST(IncomingFileDestinationTests, NamesAndSubfoldersStayInsideTheFolder) {
  const std::vector<NameCase> cases = {
      {"c.txt", "", {}, "c.txt"},
      {"a/b/c.txt", "", {}, "c.txt"},
      {"/tmp/f.txt", "", {}, "f.txt"},
      {"a\\b.txt", "", {}, "a\\b.txt"},
      {"name/", "", {}, "name"},
      {"a//b//", "", {}, "b"},
      {"", "", {}, "Vantrel-file"},
      {"/", "", {}, "Vantrel-file"},
      {"///", "", {}, "Vantrel-file"},
      {"f", "../../x", {"x"}, "f"},
      {"f", "..\\..\\etc", {"etc"}, "f"},
      {"f", "/Users/x", {"Users", "x"}, "f"},
      {"f", "a//b/./c\\\\d", {"a", "b", "c", "d"}, "f"},
      {"a/b/secret.txt", "../../x", {"x"}, "secret.txt"},
      {"f", "...", {"..."}, "f"},
      {"...", "", {}, "..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filename + " | " + c.additional);
    const auto d = safeDestination(record("/dest", c.filename, 0, 0, 1, c.additional));
    EXPECT_EQ(d.folder, fs::path("/dest"));
    EXPECT_EQ(d.subfolders, c.subfolders);
    EXPECT_EQ(d.name, c.name);
  }
}

TEST(IncomingFileDestinationTests, HostileNamesAndFoldersAreRefused) {
  std::vector<LegacyFileMetadata> hostile = {
      record("/dest", ".", 0),
      record("/dest", "..", 0),
      record("/dest", "a/..", 0),
      record("/dest", "../..", 0),
      record("/dest", "x/.", 0),
      record("/dest", std::string("a\0b", 3), 0),
      record(std::string("/de\0st", 6), "f", 0),
      record("/dest", "f", 0, 0, 1, std::string("x\0y", 3)),
  };
  for (const auto& r : hostile) {
    SCOPED_TRACE(r.destinationFolder + " | " + r.filename);
    try {
      safeDestination(r);
      ADD_FAILURE() << "accepted";
    } catch (const LegacyClipboardCodecError& error) {
      EXPECT_EQ(error.kind(), LegacyClipboardCodecError::Case::invalidEnvelope);
    }
  }
  for (const auto& folder : {"", "relative/folder", "C:\\Users", "./dest"}) {
    SCOPED_TRACE(folder);
    EXPECT_THROW(safeDestination(record(folder, "f", 0)), IncomingFolderError);
  }
}

TEST(IncomingFileDestinationTests, FolderIsStandardised) {
  EXPECT_EQ(safeDestination(record("/a/./b/../c/", "f", 0)).folder, fs::path("/a/c"));
  EXPECT_EQ(safeDestination(record("/..", "f", 0)).folder, fs::path("/"));
  EXPECT_EQ(safeDestination(record("/a", "f", 0, 0, 1, "s/t")).path(), fs::path("/a/s/t/f"));
}

// MARK: - Whole files

class IncomingFileReceiverTests : public ::testing::Test {
 protected:
  TemporaryDirectory dir;
  std::shared_ptr<UpdateActivityGate> gate = UpdateActivityGate::create();
  fs::path dest() const { return dir.path() / "in"; }
};

TEST_F(IncomingFileReceiverTests, FilesOfEveryBoundarySizeArriveByteForByte) {
  struct SizeCase {
    std::size_t size;
    std::vector<std::int64_t> progress;
  };
  const std::vector<SizeCase> cases = {
      {0, {}},
      {1, {1}},
      {60'000, {60'000}},
      {60'001, {60'001}},
      {120'001, {120'001}},
      {1'048'576, {1'048'576}},
      {3'145'728, {1'080'000, 2'160'000, 3'145'728}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    IncomingFileReceiver receiver(gate);
    const auto content = patternBytes(c.size, static_cast<std::uint32_t>(c.size));
    const auto name = "file-" + std::to_string(c.size) + ".bin";
    const auto events = sendFile(receiver, record(dest(), name, static_cast<std::int64_t>(c.size)), content);
    EXPECT_EQ(readFile(dest() / name), content);
    Events expectedProgress;
    for (const auto bytes : c.progress) {
      expectedProgress.emplace_back(
          kinds::FileTransferProgress{"download", 1, 1, bytes, static_cast<std::int64_t>(c.size)});
    }
    EXPECT_EQ(progressOnly(events), expectedProgress);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front(), (DirectAuthEvent::Kind{kinds::FileTransferStarted{"download", 1}}));
    EXPECT_EQ(events.back(), (DirectAuthEvent::Kind{kinds::FileTransferCompleted{"download", 1}}));
    EXPECT_EQ(events.size(), c.progress.size() + 2);
    EXPECT_FALSE(receiver.holdsBatchLease());
  }
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
  // Nothing but the finished files: no temporary file left.
  EXPECT_EQ(namesIn(dest()).size(), cases.size());
}

TEST_F(IncomingFileReceiverTests, BytesGoToAPrivateTemporaryFileUntilComplete) {
  IncomingFileReceiver receiver(gate);
  fs::create_directories(dest());
  writeFile(dest() / "doc.txt", "old content");
  const auto content = patternBytes(100'000);
  ASSERT_EQ(receiver.handleFrame(10, encoded(record(dest(), "doc.txt", 100'000))).size(), 1u);
  receiver.handleFrame(12, ByteView(content).first(60'000));

  const auto temporary = receiver.writer().temporaryPath();
  ASSERT_FALSE(temporary.empty());
  EXPECT_EQ(temporary.parent_path(), dest());
  EXPECT_EQ(temporary.filename().string().rfind(".vantrel-incoming-", 0), 0u);
  struct stat status {};
  ASSERT_EQ(::lstat(temporary.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(readFile(dest() / "doc.txt"), toBytes("old content"));

  receiver.handleFrame(12, ByteView(content).subspan(60'000));
  EXPECT_EQ(readFile(dest() / "doc.txt"), toBytes("old content"));
  const auto events = receiver.handleFrame(15, {});
  EXPECT_EQ(events, (Events{kinds::FileTransferCompleted{"download", 1}}));
  EXPECT_EQ(readFile(dest() / "doc.txt"), content);
  EXPECT_FALSE(fs::exists(temporary));
  ASSERT_EQ(::lstat((dest() / "doc.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u & ~currentUmask());
  EXPECT_EQ(namesIn(dest()), std::set<std::string>{"doc.txt"});
}

TEST_F(IncomingFileReceiverTests, FolderAndSubfoldersAreCreated) {
  IncomingFileReceiver receiver(gate);
  const auto deep = dest() / "a" / "b";
  sendFile(receiver, record(deep, "f", 3, 0, 1, "X/sub"), toBytes("abc"));
  EXPECT_EQ(readFile(deep / "X" / "sub" / "f"), toBytes("abc"));
}

TEST_F(IncomingFileReceiverTests, HostileRecordWritesOnlyInsideTheFolder) {
  IncomingFileReceiver receiver(gate);
  sendFile(receiver, record(dest(), "a/b/secret.txt", 2, 0, 1, "../../x"), toBytes("hi"));
  EXPECT_EQ(readFile(dest() / "x" / "secret.txt"), toBytes("hi"));
  sendFile(receiver, record(dest(), "/tmp/f.txt", 1, 0, 1, "/Users/x"), toBytes("1"));
  EXPECT_EQ(readFile(dest() / "Users" / "x" / "f.txt"), toBytes("1"));
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"in"});
}

TEST_F(IncomingFileReceiverTests, EmptyNameFallsBackToVantrelFile) {
  IncomingFileReceiver receiver(gate);
  sendFile(receiver, record(dest(), "", 1), toBytes("z"));
  EXPECT_EQ(readFile(dest() / "Vantrel-file"), toBytes("z"));
}

TEST_F(IncomingFileReceiverTests, RefusedRecordsFailWithTheInvalidEnvelopeText) {
  for (const auto& bad : {record(dest(), "..", 1), record(dest(), ".", 1)}) {
    IncomingFileReceiver receiver(gate);
    EXPECT_EQ(receiver.handleFrame(10, encoded(bad)), failed(invalidText)) << bad.filename;
    EXPECT_FALSE(receiver.holdsBatchLease());
  }
  IncomingFileReceiver receiver(gate);
  EXPECT_EQ(receiver.handleFrame(10, encodedWithSize(record(dest(), "f", 0), -1)), failed(invalidText));
  EXPECT_EQ(receiver.handleFrame(10, Bytes(631, 0)), failed(invalidText));
  EXPECT_EQ(receiver.handleFrame(10, Bytes(633, 0)), failed(invalidText));
  EXPECT_FALSE(fs::exists(dest()));
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
}

struct FolderCase {
  std::string folder;
  std::string shown;
};

TEST_F(IncomingFileReceiverTests, AFolderOfAnotherSystemIsRefusedOnceForTheWholeFile) {
  const FolderCase cases[] = {
      {"C:\\Downloads", "C:\\Downloads"},
      {"relative/folder", "relative/folder"},
      {"", ""},
      {"./in", "./in"},
      {"D:\\x\nFAKE LINE\x1b[31m", "D:\\x\\x0AFAKE LINE\\x1B[31m"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    IncomingFileReceiver receiver(gate);
    const auto expected = failed("The destination folder \u201C" + c.shown +
                                 "\u201D is not usable here: it is not an absolute path on this computer.");
    const auto content = patternBytes(10 * chunk + 1);
    // One failure for the record, then nothing for its 11 data frames and its end frame.
    EXPECT_EQ(
        sendFile(receiver, record(c.folder, "f.bin", static_cast<std::int64_t>(content.size())), content),
        expected);
    EXPECT_FALSE(receiver.holdsBatchLease());
    // The next file of the batch is received as usual.
    sendFile(receiver, record(dest(), "next.txt", 2), toBytes("ok"));
    EXPECT_EQ(readFile(dest() / "next.txt"), toBytes("ok"));
  }
  EXPECT_EQ(namesIn(dest()), std::set<std::string>{"next.txt"});
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
}

TEST_F(IncomingFileReceiverTests, AFolderShownInTheFailureIsShortened) {
  IncomingFileReceiver receiver(gate);
  // Each of 120 line feeds would become four characters.
  const auto events = receiver.handleFrame(10, encoded(record("C:\\" + std::string(120, '\n'), "f", 1)));
  ASSERT_EQ(events.size(), 1u);
  const auto* failure = std::get_if<kinds::FileTransferFailed>(&events[0]);
  ASSERT_NE(failure, nullptr);
  EXPECT_LT(failure->text.size(), 320u) << failure->text;
  EXPECT_EQ(failure->text.find('\n'), std::string::npos);
}

// A folder whose bytes are not valid UTF-8 cannot be read as a name of this computer; the message
// shows the bytes that came, escaped, rather than an empty name.
TEST_F(IncomingFileReceiverTests, AFolderThatIsNotUTF8IsShownEscaped) {
  const FolderCase cases[] = {
      {"C:\\\xFF\xFE\xC0\xAF\xED\xA0\x80x", "C:\\\\xFF\\xFE\\xC0\\xAF\\xED\\xA0\\x80x"},
      {(dest() / "sub\xFF").string(), dest().string() + "/sub\\xFF"},
      {"\xE2\x82\n\x1b[31m", "\\xE2\\x82\\x0A\\x1B[31m"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    IncomingFileReceiver receiver(gate);
    const auto content = patternBytes(2 * chunk + 1);
    EXPECT_EQ(
        sendFile(receiver, record(c.folder, "f.bin", static_cast<std::int64_t>(content.size())), content),
        failed("The destination folder \u201C" + c.shown +
               "\u201D is not usable here: its name is not valid "
               "UTF-8."));
    EXPECT_FALSE(receiver.holdsBatchLease());
  }
  EXPECT_FALSE(fs::exists(dest()));
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
}

TEST_F(IncomingFileReceiverTests, LinksInsideTheFolderAreNeverFollowed) {
  const auto outside = dir.path() / "outside";
  fs::create_directories(outside);
  fs::create_directories(dest());
  writeFile(outside / "target", "precious");
  fs::create_directory_symlink(outside, dest() / "x");
  fs::create_symlink(outside / "target", dest() / "name");

  IncomingFileReceiver receiver(gate);
  const auto events = receiver.handleFrame(10, encoded(record(dest(), "f", 1, 0, 1, "x")));
  ASSERT_EQ(events.size(), 1u);
  const auto* failure = std::get_if<kinds::FileTransferFailed>(&events[0]);
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(failure->text.find("Couldn\u2019t create the folder"), std::string::npos) << failure->text;
  EXPECT_EQ(namesIn(outside), std::set<std::string>{"target"});

  // A link in the final name's place is replaced as a name, its target left alone.
  sendFile(receiver, record(dest(), "name", 3), toBytes("new"));
  EXPECT_FALSE(fs::is_symlink(dest() / "name"));
  EXPECT_EQ(readFile(dest() / "name"), toBytes("new"));
  EXPECT_EQ(readFile(outside / "target"), toBytes("precious"));
}

TEST_F(IncomingFileReceiverTests, AFolderInTheFinalNamesPlaceFailsAtOnce) {
  fs::create_directories(dest() / "taken");
  IncomingFileReceiver receiver(gate);
  const auto events = receiver.handleFrame(10, encoded(record(dest(), "taken", 5)));
  EXPECT_EQ(events, failed("Couldn\u2019t write the file \u201C" + (dest() / "taken").string() +
                           "\u201D: Is a directory"));
  EXPECT_TRUE(fs::is_empty(dest() / "taken"));
  EXPECT_EQ(namesIn(dest()), std::set<std::string>{"taken"});
}

// MARK: - Sizes

TEST_F(IncomingFileReceiverTests, AnnouncedSizeIsEnforced) {
  const auto content = patternBytes(180'000);
  {
    IncomingFileReceiver receiver(gate);
    const auto events = sendFile(receiver, record(dest(), "exact", 180'000), content);
    EXPECT_EQ(events.back(), (DirectAuthEvent::Kind{kinds::FileTransferCompleted{"download", 1}}));
    EXPECT_EQ(readFile(dest() / "exact"), content);
  }
  IncomingFileReceiver receiver(gate);
  writeFile(dest() / "short", "existing");
  receiver.handleFrame(10, encoded(record(dest(), "short", 179'999)));
  EXPECT_TRUE(receiver.handleFrame(12, ByteView(content).first(60'000)).empty());
  EXPECT_TRUE(receiver.handleFrame(12, ByteView(content).subspan(60'000, 60'000)).empty());
  EXPECT_EQ(receiver.handleFrame(12, ByteView(content).subspan(120'000)), failed(tooLargeText));
  EXPECT_FALSE(receiver.holdsBatchLease());
  EXPECT_EQ(readFile(dest() / "short"), toBytes("existing"));
  EXPECT_EQ(namesIn(dest()), (std::set<std::string>{"exact", "short"}));
  // The manager goes on: the file's further data frames and its end frame add no failure; data
  // after that end belongs to no file.
  EXPECT_TRUE(receiver.handleFrame(12, toBytes("x")).empty());
  EXPECT_TRUE(receiver.handleFrame(15, {}).empty());
  EXPECT_EQ(receiver.handleFrame(12, toBytes("x")), failed(invalidText));
}

TEST_F(IncomingFileReceiverTests, ShortFileIsRemovedAndTheExistingFileKept) {
  fs::create_directories(dest());
  writeFile(dest() / "f", "keep");
  IncomingFileReceiver receiver(gate);
  receiver.handleFrame(10, encoded(record(dest(), "f", 10)));
  receiver.handleFrame(12, toBytes("123456789"));
  EXPECT_EQ(receiver.handleFrame(15, {}), failed(invalidText));
  EXPECT_EQ(readFile(dest() / "f"), toBytes("keep"));
  EXPECT_EQ(namesIn(dest()), std::set<std::string>{"f"});
  EXPECT_FALSE(receiver.holdsBatchLease());
}

TEST_F(IncomingFileReceiverTests, LargestIndicesDoNotOverflow) {
  IncomingFileReceiver receiver(gate);
  const auto events = sendFile(receiver, record(dest(), "f", 1, INT32_MAX, INT32_MAX), toBytes("1"));
  EXPECT_EQ(progressOnly(events),
            (Events{kinds::FileTransferProgress{"download", 2'147'483'648LL, INT32_MAX, 1, 1}}));
  EXPECT_FALSE(receiver.holdsBatchLease());
}

TEST_F(IncomingFileReceiverTests, AFileThatDoesNotFitIsRefusedBeforeAnythingIsCreated) {
  IncomingFileReceiver receiver(gate);
  const auto target = dest() / "deep";
  EXPECT_EQ(receiver.handleFrame(10, encoded(record(target, "huge", INT64_MAX))),
            failed("Couldn\u2019t write the file \u201C" + (target / "huge").string() +
                   "\u201D: No space left on device"));
  EXPECT_FALSE(fs::exists(dest()));  // not even the folder
  EXPECT_FALSE(receiver.holdsBatchLease());
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
}

// A small file system of its own: what would leave less than 64 MiB free is refused, what
// leaves more is written.
TEST_F(IncomingFileReceiverTests, TheReserveIsKeptOnTheTargetFileSystem) {
  const auto mountPoint = dir.path() / "small";
  fs::create_directories(mountPoint);
  if (::mount("vantrel-test", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=96m,mode=0700") != 0) {
    GTEST_SKIP() << "mounting a size-limited tmpfs is not permitted here (" << std::strerror(errno) << ")";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  IncomingFileReceiver receiver(gate);
  constexpr std::int64_t mebibyte = 1024 * 1024;
  EXPECT_EQ(receiver.handleFrame(10, encoded(record(mountPoint / "in", "big", 40 * mebibyte))),
            failed("Couldn\u2019t write the file \u201C" + (mountPoint / "in" / "big").string() +
                   "\u201D: No space left on device"));
  EXPECT_TRUE(namesIn(mountPoint).empty());
  const auto content = patternBytes(16 * mebibyte, 7);
  const auto events = sendFile(receiver, record(mountPoint / "in", "fits", 16 * mebibyte), content);
  EXPECT_EQ(events.back(), (DirectAuthEvent::Kind{kinds::FileTransferCompleted{"download", 1}}));
  EXPECT_EQ(fs::file_size(mountPoint / "in" / "fits"), static_cast<std::uintmax_t>(16 * mebibyte));
}

// MARK: - Batches, cancel, disconnect

TEST_F(IncomingFileReceiverTests, BatchLeaseSpansTheBatch) {
  IncomingFileReceiver receiver(gate);
  sendFile(receiver, record(dest(), "0", 1, 0, 3), toBytes("a"));
  EXPECT_TRUE(receiver.holdsBatchLease());
  EXPECT_EQ(gate->snapshot().fileTransfers(), 1);
  sendFile(receiver, record(dest(), "1", 1, 1, 3), toBytes("b"));
  EXPECT_EQ(gate->snapshot().fileTransfers(), 1);
  sendFile(receiver, record(dest(), "2", 1, 2, 3), toBytes("c"));
  EXPECT_FALSE(receiver.holdsBatchLease());
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
  EXPECT_EQ(namesIn(dest()), (std::set<std::string>{"0", "1", "2"}));
}

TEST_F(IncomingFileReceiverTests, RecordSayingTotalOneEndsTheBatchAfterItsFile) {
  IncomingFileReceiver receiver(gate);
  sendFile(receiver, record(dest(), "a", 1, 0, 5), toBytes("a"));
  EXPECT_TRUE(receiver.holdsBatchLease());
  sendFile(receiver, record(dest(), "b", 1, 0, 1), toBytes("b"));
  EXPECT_FALSE(receiver.holdsBatchLease());
}

TEST_F(IncomingFileReceiverTests, SupersedingRecordDropsTheUnfinishedFileOnly) {
  fs::create_directories(dest());
  writeFile(dest() / "first", "original");
  IncomingFileReceiver receiver(gate);
  receiver.handleFrame(10, encoded(record(dest(), "first", 10, 0, 2)));
  receiver.handleFrame(12, toBytes("12345"));
  const auto events = sendFile(receiver, record(dest(), "second", 2, 1, 2), toBytes("ok"));
  EXPECT_EQ(events.front(), (DirectAuthEvent::Kind{kinds::FileTransferStarted{"download", 2}}));
  EXPECT_EQ(readFile(dest() / "first"), toBytes("original"));
  EXPECT_EQ(readFile(dest() / "second"), toBytes("ok"));
  EXPECT_EQ(namesIn(dest()), (std::set<std::string>{"first", "second"}));
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
}

TEST_F(IncomingFileReceiverTests, DisconnectLeavesTheExistingFileAndNoTemporaryFile) {
  fs::create_directories(dest());
  writeFile(dest() / "f", "original");
  {
    IncomingFileReceiver receiver(gate);
    receiver.handleFrame(10, encoded(record(dest(), "f", 100)));
    receiver.handleFrame(12, patternBytes(50));
    receiver.reset();
    EXPECT_FALSE(receiver.isReceivingFile());
    EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
    EXPECT_EQ(namesIn(dest()), std::set<std::string>{"f"});
    // Data after the reset belongs to no file.
    EXPECT_EQ(receiver.handleFrame(12, patternBytes(50)), failed(invalidText));
  }
  {
    IncomingFileReceiver dropped(gate);
    dropped.handleFrame(10, encoded(record(dest(), "f", 100)));
    dropped.handleFrame(12, patternBytes(50));
  }
  EXPECT_EQ(readFile(dest() / "f"), toBytes("original"));
  EXPECT_EQ(namesIn(dest()), std::set<std::string>{"f"});
  EXPECT_EQ(gate->snapshot().fileTransfers(), 0);
}

TEST_F(IncomingFileReceiverTests, DataWithoutARecordIsInvalid) {
  IncomingFileReceiver receiver(gate);
  EXPECT_EQ(receiver.handleFrame(12, toBytes("x")), failed(invalidText));
  EXPECT_TRUE(receiver.handleFrame(15, {}).empty());
  EXPECT_TRUE(receiver.handleFrame(22, toBytes("x")).empty());
}

TEST_F(IncomingFileReceiverTests, ReservedGateRefusesTheBatch) {
  ASSERT_TRUE(gate->reserveInstallationIfIdle(Uuid::random(), 0));
  IncomingFileReceiver receiver(gate);
  const auto events = receiver.handleFrame(10, encoded(record(dest(), "f", 1)));
  EXPECT_EQ(events, failed(localizedDescription(AIChannelError::invalid("update_installation_in_progress"))));
  EXPECT_TRUE(receiver.handleFrame(12, toBytes("x")).empty());  // reported once, above
  EXPECT_FALSE(fs::exists(dest()));
}

}  // namespace
}  // namespace vantrel
