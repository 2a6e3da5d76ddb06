#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Protocol/LegacyFileTransfer.hpp"
#include "Session/IncomingFileReceiver.hpp"
#include "Session/OutgoingFileTransfer.hpp"
#include "Support/Uuid.hpp"
#include "support/AsyncTest.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
namespace kinds = DirectAuthEventKinds;
using testing::patternBytes;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::writeFile;
using Events = std::vector<DirectAuthEvent::Kind>;

std::vector<OutgoingFileItem> items(const OutgoingFileBatch& batch) { return batch.items; }

// MARK: - Walk

TEST(OutgoingFileWalk, FileByItselfTravelsWithoutFolder) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "f.txt", "x");
  const auto batch = expandedClipboardFiles({dir.path() / "f.txt"});
  EXPECT_EQ(items(batch), (std::vector<OutgoingFileItem>{{dir.path() / "f.txt", ""}}));
  EXPECT_TRUE(batch.skipped.empty());
}

TEST(OutgoingFileWalk, FoldersAreWalkedDepthFirstInNameOrder) {
  TemporaryDirectory dir;
  const auto x = dir.path() / "X";
  fs::create_directories(x / "sub" / "deeper");
  fs::create_directories(x / "empty" / "still-empty");
  writeFile(x / "a.txt", "a");
  writeFile(x / ".hidden", "h");
  writeFile(x / "z.txt", "z");
  writeFile(x / "sub" / "b.txt", "b");
  writeFile(x / "sub" / "deeper" / "c.txt", "c");
  writeFile(dir.path() / "single", "s");

  const auto batch = expandedClipboardFiles({dir.path() / "single", x.string() + "/"});
  EXPECT_EQ(items(batch), (std::vector<OutgoingFileItem>{
                              {dir.path() / "single", ""},
                              {x / ".hidden", "X"},
                              {x / "a.txt", "X"},
                              {x / "sub" / "b.txt", "X/sub"},
                              {x / "sub" / "deeper" / "c.txt", "X/sub/deeper"},
                              {x / "z.txt", "X"},
                          }));
}

TEST(OutgoingFileWalk, MissingInputsAreLeftOutSilently) {
  TemporaryDirectory dir;
  writeFile(dir.path() / "there", "1");
  const auto batch = expandedClipboardFiles({dir.path() / "missing", dir.path() / "there", fs::path("")});
  EXPECT_EQ(items(batch), (std::vector<OutgoingFileItem>{{dir.path() / "there", ""}}));
  EXPECT_TRUE(batch.skipped.empty());
}

TEST(OutgoingFileWalk, FolderWithoutRegularFilesGivesNothing) {
  TemporaryDirectory dir;
  fs::create_directories(dir.path() / "X" / "a" / "b");
  EXPECT_TRUE(expandedClipboardFiles({dir.path() / "X"}).items.empty());
}

TEST(OutgoingFileWalk, SpecialFilesAndLinksAreNeverSent) {
  TemporaryDirectory dir;
  const auto x = dir.path() / "X";
  const auto outside = dir.path() / "outside";
  fs::create_directories(x);
  fs::create_directories(outside);
  writeFile(outside / "secret", "s");
  writeFile(x / "real", "r");
  ASSERT_EQ(::mkfifo((x / "pipe").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir.path() / "toplevel-pipe").c_str(), 0600), 0);
  fs::create_symlink(outside / "secret", x / "link-to-file");
  fs::create_directory_symlink(outside, x / "link-to-folder");
  fs::create_symlink(outside / "secret", dir.path() / "toplevel-link");

  const auto batch = expandedClipboardFiles(
      {dir.path() / "toplevel-pipe", x, dir.path() / "toplevel-link", fs::path("/dev/null")});
  EXPECT_EQ(items(batch), (std::vector<OutgoingFileItem>{{x / "real", "X"}}));
  ASSERT_EQ(batch.skipped.size(), 3u);
  EXPECT_EQ(batch.skipped[0].path, dir.path() / "toplevel-pipe");
  EXPECT_EQ(batch.skipped[0].reason, "\u201C" + (dir.path() / "toplevel-pipe").string() +
                                         "\u201D is neither a folder nor a regular file.");
  EXPECT_EQ(batch.skipped[1].path, dir.path() / "toplevel-link");
  EXPECT_EQ(batch.skipped[2].path, fs::path("/dev/null"));
}

TEST(OutgoingFileWalk, UnreadableFolderIsSkippedAndTheWalkGoesOn) {
  TemporaryDirectory dir;
  const auto x = dir.path() / "X";
  fs::create_directories(x / "locked");
  fs::create_directories(x / "open");
  fs::create_directories(dir.path() / "top-locked");
  writeFile(x / "locked" / "hidden", "h");
  writeFile(x / "open" / "visible", "v");
  writeFile(x / "after", "a");
  ::chmod((x / "locked").c_str(), 0);
  ::chmod((dir.path() / "top-locked").c_str(), 0);
  OutgoingFileBatch batch;
  testing::runWithoutPermissionOverride([&] {
    batch = expandedClipboardFiles({dir.path() / "top-locked", x});
  });
  ::chmod((x / "locked").c_str(), 0700);
  ::chmod((dir.path() / "top-locked").c_str(), 0700);
  EXPECT_EQ(items(batch),
            (std::vector<OutgoingFileItem>{{x / "after", "X"}, {x / "open" / "visible", "X/open"}}));
  ASSERT_EQ(batch.skipped.size(), 2u);
  EXPECT_EQ(batch.skipped[0].path, dir.path() / "top-locked");
  EXPECT_EQ(batch.skipped[1].path, x / "locked");
  EXPECT_EQ(batch.skipped[1].reason,
            "Couldn\u2019t read the folder \u201C" + (x / "locked").string() + "\u201D: Permission denied");
}

TEST(OutgoingFileWalk, LimitStopsTheWalk) {
  TemporaryDirectory dir;
  for (const auto* name : {"a", "b", "c"}) writeFile(dir.path() / name, "1");
  const auto batch = expandedClipboardFiles({dir.path()}, 2);
  EXPECT_TRUE(batch.exceededLimit);
  EXPECT_EQ(batch.items.size(), 2u);
  EXPECT_FALSE(expandedClipboardFiles({dir.path()}, 3).exceededLimit);
}

TEST(OutgoingFileWalk, TooDeepFoldersAreSkippedWithAReason) {
  TemporaryDirectory dir;
  fs::path deep = dir.path() / "X";
  for (int level = 0; level < maximumOutgoingFolderDepth + 2; ++level) deep /= "d";
  fs::create_directories(deep);
  writeFile(deep / "too-deep", "1");
  writeFile(dir.path() / "X" / "d" / "shallow", "2");
  const auto batch = expandedClipboardFiles({dir.path() / "X"});
  ASSERT_EQ(batch.items.size(), 1u);
  EXPECT_EQ(batch.items[0].path.filename(), "shallow");
  ASSERT_EQ(batch.skipped.size(), 1u);
  EXPECT_NE(batch.skipped[0].reason.find("File name too long"), std::string::npos);
}

// MARK: - Reader

std::vector<std::size_t> pieceSizes(OutgoingFileReader& reader) {
  std::vector<std::size_t> sizes;
  while (true) {
    const auto piece = reader.readChunk();
    if (piece.empty()) break;
    sizes.push_back(piece.size());
  }
  return sizes;
}

TEST(OutgoingFileReaderTests, PiecesOfAtMost60000Bytes) {
  TemporaryDirectory dir;
  const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> cases = {
      {0, {}}, {1, {1}}, {60'000, {60'000}}, {60'001, {60'000, 1}}, {120'001, {60'000, 60'000, 1}}};
  for (const auto& [size, expected] : cases) {
    writeFile(dir.path() / "f", patternBytes(size));
    OutgoingFileReader reader;
    reader.open(dir.path() / "f");
    EXPECT_EQ(reader.size(), static_cast<std::int64_t>(size));
    EXPECT_EQ(pieceSizes(reader), expected) << size;
  }
}

TEST(OutgoingFileReaderTests, SpecialFilesAndLinksAreRefusedWithoutBlocking) {
  TemporaryDirectory dir;
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  writeFile(dir.path() / "real", "r");
  fs::create_symlink(dir.path() / "real", dir.path() / "link");
  fs::create_directory(dir.path() / "folder");
  for (const auto& path : {dir.path() / "pipe", dir.path() / "link", dir.path() / "folder",
                           fs::path("/dev/null"), fs::path("/dev/zero")}) {
    OutgoingFileReader reader;
    try {
      reader.open(path);
      ADD_FAILURE() << "opened " << path;
    } catch (const OutgoingFileError& error) {
      EXPECT_EQ(error.kind(), OutgoingFileError::Case::notRegularFile) << path;
    }
    EXPECT_FALSE(reader.isOpen());
  }
  OutgoingFileReader reader;
  EXPECT_THROW(reader.open(dir.path() / "missing"), FileSystemError);
}

// MARK: - Records

TEST(OutgoingFileRecordTests, NamesAreComposedAndPrintable) {
  const OutgoingFileItem item{"/x/e\xCC\x81\xFF.txt", "Fo\xCC\x88lder/sub"};
  const auto record = makeOutgoingFileRecord(item, 4, 9, 1234, "D:\\in", 7);
  EXPECT_EQ(record.comNum, 7);
  EXPECT_EQ(record.currentIndex, 4);
  EXPECT_EQ(record.total, 9);
  EXPECT_TRUE(record.isClipboard);
  EXPECT_EQ(record.fileSize, 1234);
  EXPECT_EQ(record.filename, "\xC3\xA9%FF.txt");
  EXPECT_EQ(record.destinationFolder, "D:\\in");
  EXPECT_EQ(record.additionalFolder, "F\xC3\xB6lder/sub");
}

// MARK: - Upload

struct Sent {
  std::uint8_t command;
  Bytes payload;
};

struct Recorder {
  std::vector<Sent> sent;
  Events events;
  std::shared_ptr<UpdateActivityGate> gate;
  std::vector<int> leasesSeen;
  std::function<void(std::size_t)> afterSend;  // called with the count sent so far
  std::optional<std::size_t> failAt;           // the send with this index throws
};

Awaitable<void> recordPayload(Recorder* recorder, Bytes payload, std::uint8_t command) {
  recorder->leasesSeen.push_back(recorder->gate->snapshot().fileTransfers());
  if (recorder->failAt && *recorder->failAt == recorder->sent.size()) {
    throw std::runtime_error("TCP send failed: broken pipe");
  }
  recorder->sent.push_back({command, std::move(payload)});
  if (recorder->afterSend) recorder->afterSend(recorder->sent.size());
  co_return;
}

class OutgoingUploadTests : public ::testing::Test {
 protected:
  TemporaryDirectory dir;
  asio::io_context io;
  Recorder recorder{{}, {}, UpdateActivityGate::create(), {}, {}, {}};
  bool cancelled = false;

  OutgoingFileUploadContext context() {
    OutgoingFileUploadContext c;
    c.gate = recorder.gate;
    c.comNum = 5;
    auto* r = &recorder;
    c.sendPayload = [r](Bytes payload, std::uint8_t command) {
      return recordPayload(r, std::move(payload), command);
    };
    c.emit = [r](DirectAuthEvent::Kind kind) { r->events.push_back(std::move(kind)); };
    c.isCancelled = [this] { return cancelled; };
    return c;
  }

  void upload(std::vector<fs::path> files, std::string destination = "C:\\Dest") {
    testing::runAwaitable(io, sendOutgoingFiles(std::move(files), std::move(destination), context()));
  }

  // Splits the recorded frames back into files: record, data pieces, end marker.
  struct Received {
    LegacyFileMetadata record;
    Bytes content;
    std::vector<std::size_t> pieces;
  };
  std::vector<Received> received() {
    std::vector<Received> files;
    for (const auto& s : recorder.sent) {
      if (s.command == 10) {
        auto record = LegacyFileMetadata::decode(s.payload);
        EXPECT_TRUE(record.has_value());
        files.push_back({record.value_or(LegacyFileMetadata{}), {}, {}});
      } else if (s.command == 12) {
        EXPECT_FALSE(files.empty());
        append(files.back().content, s.payload);
        files.back().pieces.push_back(s.payload.size());
      } else {
        EXPECT_EQ(s.command, 15);
        EXPECT_EQ(s.payload, Bytes{0x31});
      }
    }
    return files;
  }

  Events progress() const {
    Events out;
    for (const auto& e : recorder.events) {
      if (std::holds_alternative<kinds::FileTransferProgress>(e)) out.push_back(e);
    }
    return out;
  }
};

TEST_F(OutgoingUploadTests, FilesOfEveryBoundarySizeAndAFolderArriveByteForByte) {
  const std::vector<std::size_t> sizes = {0, 60'000, 120'001, 3'145'728};
  std::vector<fs::path> inputs;
  std::vector<Bytes> contents;
  for (const auto size : sizes) {
    contents.push_back(patternBytes(size, static_cast<std::uint32_t>(size) + 7));
    inputs.push_back(dir.path() / ("f" + std::to_string(size)));
    writeFile(inputs.back(), contents.back());
  }
  fs::create_directories(dir.path() / "Folder" / "sub");
  contents.push_back(toBytes("in sub"));
  writeFile(dir.path() / "Folder" / "sub" / "g", contents.back());
  inputs.push_back(dir.path() / "Folder");

  upload(inputs);
  const auto files = received();
  ASSERT_EQ(files.size(), 5u);
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(files[i].content, contents[i]);
    EXPECT_EQ(files[i].record.currentIndex, static_cast<std::int32_t>(i));
    EXPECT_EQ(files[i].record.total, 5);
    EXPECT_EQ(files[i].record.comNum, 5);
    EXPECT_TRUE(files[i].record.isClipboard);
    EXPECT_EQ(files[i].record.fileSize, static_cast<std::int64_t>(contents[i].size()));
    EXPECT_EQ(files[i].record.destinationFolder, "C:\\Dest");
  }
  EXPECT_EQ(files[0].record.filename, "f0");
  EXPECT_TRUE(files[0].pieces.empty());
  EXPECT_EQ(files[2].pieces, (std::vector<std::size_t>{60'000, 60'000, 1}));
  EXPECT_EQ(files[4].record.filename, "g");
  EXPECT_EQ(files[4].record.additionalFolder, "Folder/sub");
  // Record, pieces, end marker per file: 1+0+1, 1+1+1, 1+3+1, 1+53+1, 1+1+1.
  EXPECT_EQ(recorder.sent.size(), 2u + 3u + 5u + 55u + 3u);

  EXPECT_EQ(progress(), (Events{
                            kinds::FileTransferProgress{"upload", 2, 5, 60'000, 60'000},
                            kinds::FileTransferProgress{"upload", 3, 5, 120'001, 120'001},
                            kinds::FileTransferProgress{"upload", 4, 5, 1'080'000, 3'145'728},
                            kinds::FileTransferProgress{"upload", 4, 5, 2'160'000, 3'145'728},
                            kinds::FileTransferProgress{"upload", 4, 5, 3'145'728, 3'145'728},
                            kinds::FileTransferProgress{"upload", 5, 5, 6, 6},
                        }));
  EXPECT_EQ(recorder.events.front(), (DirectAuthEvent::Kind{kinds::FileTransferStarted{"upload", 5}}));
  EXPECT_EQ(recorder.events.back(), (DirectAuthEvent::Kind{kinds::FileTransferCompleted{"upload", 5}}));
  for (const auto held : recorder.leasesSeen) EXPECT_EQ(held, 1);
  EXPECT_EQ(recorder.gate->snapshot().fileTransfers(), 0);
}

TEST_F(OutgoingUploadTests, ReservedGateSendsNothing) {
  writeFile(dir.path() / "f", "x");
  ASSERT_TRUE(recorder.gate->reserveInstallationIfIdle(Uuid::random(), 0));
  upload({dir.path() / "f"});
  EXPECT_TRUE(recorder.sent.empty());
  EXPECT_EQ(recorder.events, (Events{kinds::FileTransferFailed{"Update installation in progress"}}));
}

TEST_F(OutgoingUploadTests, NothingToSend) {
  fs::create_directories(dir.path() / "empty" / "inner");
  upload({dir.path() / "empty", dir.path() / "missing"});
  EXPECT_TRUE(recorder.sent.empty());
  EXPECT_EQ(recorder.events, (Events{kinds::FileTransferFailed{"No readable local clipboard files"}}));
  EXPECT_EQ(recorder.gate->snapshot().fileTransfers(), 0);
}

TEST_F(OutgoingUploadTests, OverlongNameFailsAfterTheStart) {
  writeFile(dir.path() / "ok", "1");
  const std::string longName(96, 'n');
  writeFile(dir.path() / longName, "2");
  upload({dir.path() / "ok", dir.path() / longName});
  EXPECT_EQ(
      recorder.events.back(),
      (DirectAuthEvent::Kind{kinds::FileTransferFailed{"Clipboard value exceeds the safe size limit."}}));
  EXPECT_EQ(recorder.events.front(), (DirectAuthEvent::Kind{kinds::FileTransferStarted{"upload", 2}}));
  ASSERT_EQ(received().size(), 1u);  // the first file only; no record for the second
  EXPECT_EQ(recorder.gate->snapshot().fileTransfers(), 0);
}

TEST_F(OutgoingUploadTests, SendFailureEndsTheBatch) {
  writeFile(dir.path() / "a", patternBytes(130'000));
  writeFile(dir.path() / "b", "b");
  recorder.failAt = 2;  // the second data piece of "a"
  upload({dir.path() / "a", dir.path() / "b"});
  EXPECT_EQ(recorder.sent.size(), 2u);
  EXPECT_EQ(recorder.events.back(),
            (DirectAuthEvent::Kind{kinds::FileTransferFailed{"TCP send failed: broken pipe"}}));
  EXPECT_EQ(recorder.gate->snapshot().fileTransfers(), 0);
}

TEST_F(OutgoingUploadTests, CancellationBetweenPiecesEndsTheBatch) {
  writeFile(dir.path() / "a", patternBytes(200'000));
  recorder.afterSend = [this](std::size_t count) {
    if (count == 2) cancelled = true;  // after the record and the first piece
  };
  upload({dir.path() / "a"});
  EXPECT_EQ(recorder.sent.size(), 2u);
  ASSERT_FALSE(recorder.events.empty());
  EXPECT_EQ(recorder.events.back(),
            (DirectAuthEvent::Kind{kinds::FileTransferFailed{localizedDescription(CancellationError())}}));
  EXPECT_EQ(recorder.gate->snapshot().fileTransfers(), 0);
}

TEST_F(OutgoingUploadTests, CancelledTaskEndsTheBatch) {
  // The session's task is cancelled through its cancellation slot (disconnect cancels the loop
  // task that runs the upload).
  writeFile(dir.path() / "a", patternBytes(200'000));
  asio::cancellation_signal signal;
  recorder.afterSend = [&](std::size_t count) {
    if (count == 2) signal.emit(asio::cancellation_type::terminal);
  };
  bool finished = false;
  std::exception_ptr error;
  asio::co_spawn(io, sendOutgoingFiles({dir.path() / "a"}, "C:\\Dest", context()),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                   error = e;
                   finished = true;
                 }));
  ASSERT_TRUE(testing::runUntil(io, [&] { return finished; }));
  EXPECT_FALSE(error);
  EXPECT_EQ(recorder.sent.size(), 2u);
  ASSERT_FALSE(recorder.events.empty());
  EXPECT_TRUE(std::holds_alternative<kinds::FileTransferFailed>(recorder.events.back()));
  EXPECT_EQ(recorder.gate->snapshot().fileTransfers(), 0);
}

TEST_F(OutgoingUploadTests, FileThatShrinksWhileSentFailsTheBatchWithoutEndMarker) {
  const auto path = dir.path() / "a";
  writeFile(path, patternBytes(180'000));
  writeFile(dir.path() / "b", "b");
  recorder.afterSend = [&](std::size_t count) {
    if (count == 2) fs::resize_file(path, 100'000);
  };
  upload({path, dir.path() / "b"});
  for (const auto& s : recorder.sent) EXPECT_NE(s.command, 15);
  EXPECT_EQ(recorder.events.back(),
            (DirectAuthEvent::Kind{kinds::FileTransferFailed{
                "The file \u201C" + path.string() + "\u201D became shorter while it was being sent."}}));
}

TEST_F(OutgoingUploadTests, FileThatGrowsIsSentAtItsAnnouncedSize) {
  const auto path = dir.path() / "a";
  const auto original = patternBytes(70'000);
  writeFile(path, original);
  recorder.afterSend = [&](std::size_t count) {
    if (count == 1) writeFile(path, patternBytes(1'000'000, 99));
  };
  upload({path});
  const auto files = received();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].record.fileSize, 70'000);
  EXPECT_EQ(files[0].content.size(), 70'000u);
  EXPECT_EQ(recorder.sent.back().command, 15);
}

TEST_F(OutgoingUploadTests, SkippedItemsAreReportedAndTheRestIsSent) {
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  writeFile(dir.path() / "f", "x");
  upload({dir.path() / "pipe", dir.path() / "f"});
  ASSERT_EQ(recorder.events.size(), 4u);
  const auto* skipped = std::get_if<kinds::Error>(&recorder.events[0]);
  ASSERT_NE(skipped, nullptr);
  EXPECT_EQ(skipped->text, "Not sent to the manager: \u201C" + (dir.path() / "pipe").string() +
                               "\u201D is neither a folder nor a regular file.");
  EXPECT_EQ(recorder.events[1], (DirectAuthEvent::Kind{kinds::FileTransferStarted{"upload", 1}}));
  EXPECT_EQ(received().size(), 1u);
}

TEST_F(OutgoingUploadTests, WhatIsSentIsWhatTheReceivingSideRebuilds) {
  // Both directions share the record layout: frames of an upload, fed to the receiving side,
  // rebuild the chosen files and folders below the destination.
  const auto source = dir.path() / "source";
  const auto target = dir.path() / "target";
  fs::create_directories(source / "Folder" / "sub" / "deeper");
  writeFile(source / "single.bin", patternBytes(120'001, 3));
  writeFile(source / "Folder" / "top.txt", "top");
  writeFile(source / "Folder" / "sub" / "deeper" / "big.bin", patternBytes(3'145'728, 4));
  writeFile(source / "Folder" / "sub" / "empty", "");
  upload({source / "single.bin", source / "Folder"}, target.string());

  auto gate = UpdateActivityGate::create();
  IncomingFileReceiver receiver(gate);
  Events receivedEvents;
  for (const auto& s : recorder.sent) {
    for (auto& e : receiver.handleFrame(s.command, s.payload)) receivedEvents.push_back(e);
  }
  for (const auto& e : receivedEvents) {
    EXPECT_FALSE(std::holds_alternative<kinds::FileTransferFailed>(e));
  }
  EXPECT_EQ(readFile(target / "single.bin"), readFile(source / "single.bin"));
  EXPECT_EQ(readFile(target / "Folder" / "top.txt"), toBytes("top"));
  EXPECT_EQ(readFile(target / "Folder" / "sub" / "deeper" / "big.bin"),
            readFile(source / "Folder" / "sub" / "deeper" / "big.bin"));
  EXPECT_TRUE(readFile(target / "Folder" / "sub" / "empty").empty());
  EXPECT_EQ(testing::namesIn(target), (std::set<std::string>{"Folder", "single.bin"}));
  EXPECT_FALSE(receiver.holdsBatchLease());
}

}  // namespace
}  // namespace vantrel
