// Files both ways, folder listings and single-file commands served by a session over loopback
// TCP against real temporary folders.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "ConnectedSessionTest.hpp"
#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/LegacyFileTransfer.hpp"
#include "Transport/DirectTCPTransport.hpp"
#include "support/ManagerSimulator.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/SessionHarness.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;
namespace K = DirectAuthEventKinds;
namespace E = ManagerEnvelopes;
using Frame = ManagerWire::Frame;

constexpr std::size_t MiB = std::size_t{1024} * 1024;

// One file as the manager reassembles it from the agent's frames 10, 12 and 15.
struct UploadedFile {
  LegacyFileMetadata record;
  Bytes data;
  bool ended = false;
};

std::string fileURL(const fs::path& path) { return "file://" + path.string(); }

class SessionFiles : public ConnectedSessionTest {
 protected:
  // Waits until everything sent so far has been served (a GET_COMINFO after it is answered
  // only once the requests before it are done).
  void settle() {
    const auto before = session.countOf<K::LegacyComInfoResponseSent>();
    request(E::nullDataClass(E::getComInfo, 0));
    ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::LegacyComInfoResponseSent>() > before; }));
  }

  std::vector<Frame> replies() const {
    auto frames = manager.framesOf(0);
    return std::vector<Frame>(frames.begin() + static_cast<std::ptrdiff_t>(baseline), frames.end());
  }

  std::vector<UploadedFile> uploads() const {
    std::vector<UploadedFile> files;
    for (const auto& frame : replies()) {
      if (frame.command == 10) {
        auto record = LegacyFileMetadata::decode(frame.payload);
        EXPECT_TRUE(record.has_value());
        files.push_back({record.value_or(LegacyFileMetadata{}), {}, false});
      } else if (frame.command == 12) {
        EXPECT_FALSE(files.empty());
        EXPECT_LE(frame.payload.size(), 60'000u);
        files.back().data.insert(files.back().data.end(), frame.payload.begin(), frame.payload.end());
      } else if (frame.command == 15) {
        EXPECT_EQ(frame.payload, Bytes{0x31});
        files.back().ended = true;
      }
    }
    return files;
  }

  // The listings the agent sent (kind-128 envelopes), as JSON.
  std::vector<nlohmann::json> listings() const {
    std::vector<nlohmann::json> out;
    for (const auto& frame : ManagerWire::joinMessages(replies())) {
      if (E::kindAt228(frame) != 128u) continue;
      const auto text = LegacyClipboardCodec::decodeStringDataClass(frame, 128);
      EXPECT_TRUE(text.has_value());
      out.push_back(nlohmann::json::parse(text.value_or("null")));
    }
    return out;
  }

  // The manager's side of one incoming file: record, data in frames of at most 60,000 bytes.
  void sendRecord(const fs::path& folder, const std::string& name, std::int64_t size, std::int32_t index = 0,
                  std::int32_t total = 1, const std::string& additional = "") {
    LegacyFileMetadata record;
    record.comNum = 99;
    record.currentIndex = index;
    record.total = total;
    record.fileSize = size;
    record.filename = name;
    record.destinationFolder = folder.string();
    record.additionalFolder = additional;
    const auto encoded = record.encode();
    ASSERT_TRUE(encoded.has_value());
    manager.send(ManagerWire::frame(10, *encoded, nextTimestamp++, 99));
  }
  void sendData(ByteView data) {
    if (!data.empty()) manager.send(ManagerWire::message(12, data, nextTimestamp++, 99));
  }
  void sendEnd() { manager.send(ManagerWire::frame(15, Bytes{0x31}, nextTimestamp++, 99)); }

  std::string command(int code, const fs::path& path, const std::vector<std::string>& files,
                      const std::string& remotePath = "") {
    nlohmann::json document = {{"protocolName", "VantrelMac.SingleFileCommand.v1"},
                               {"command", code},
                               {"path", path.string()},
                               {"remotePath", remotePath},
                               {"files", files}};
    return document.dump();
  }

  TemporaryDirectory dir;
};

const std::size_t sizes[] = {0, 60'000, 120'001, 3 * MiB};

// ---- from the manager ---------------------------------------------------------------------------

TEST_F(SessionFiles, FilesFromTheManagerArriveByteForByte) {
  connect();
  const auto target = dir.path() / "in";
  fs::create_directory(target);
  std::int32_t index = 0;
  for (auto size : sizes) {
    const auto bytes = patternBytes(size, static_cast<std::uint32_t>(size + 1));
    sendRecord(target, "file-" + std::to_string(size) + ".bin", static_cast<std::int64_t>(size), index++, 4);
    sendData(bytes);
    sendEnd();
  }
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::FileTransferCompleted>() == 4; }));
  for (auto size : sizes) {
    SCOPED_TRACE(size);
    EXPECT_EQ(readFile(target / ("file-" + std::to_string(size) + ".bin")),
              patternBytes(size, static_cast<std::uint32_t>(size + 1)));
  }
  EXPECT_EQ(namesIn(target).size(), 4u);  // no temporary file left
  EXPECT_EQ(session.countOf<K::FileTransferFailed>(), 0u);
  // One batch: the lease ended with the last file; 3 MiB reported at each MiB and at its end.
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
  std::vector<std::int64_t> bigProgress;
  for (const auto& p : session.eventsOf<K::FileTransferProgress>()) {
    EXPECT_EQ(p.direction, "download");
    if (p.totalBytes == static_cast<std::int64_t>(3 * MiB)) bigProgress.push_back(p.bytes);
  }
  ASSERT_FALSE(bigProgress.empty());
  EXPECT_EQ(bigProgress.back(), static_cast<std::int64_t>(3 * MiB));
  EXPECT_GE(bigProgress.size(), 3u);
}

TEST_F(SessionFiles, IncomingFileReplacesAnExistingOneOnlyWhenComplete) {
  connect();
  writeFile(dir.path() / "keep.txt", "original");
  const auto bytes = patternBytes(120'001, 9);
  sendRecord(dir.path(), "keep.txt", 120'001);
  sendData(ByteView(bytes).first(60'000));
  settle();
  EXPECT_EQ(readFile(dir.path() / "keep.txt"), toBytes("original"));  // untouched while it arrives
  sendData(ByteView(bytes).subspan(60'000));
  sendEnd();
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::FileTransferCompleted>() == 1; }));
  EXPECT_EQ(readFile(dir.path() / "keep.txt"), bytes);
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"keep.txt"}));
}

TEST_F(SessionFiles, CancelledIncomingFileLeavesTheExistingFileAndNoTemporaryFile) {
  connect();
  writeFile(dir.path() / "keep.txt", "original");
  sendRecord(dir.path(), "keep.txt", 120'001);
  sendData(patternBytes(60'000, 3));
  manager.send(ManagerWire::frame(21, Bytes{1}, nextTimestamp++, 99));
  settle();
  EXPECT_EQ(session.eventsOf<K::FileTransferFailed>(),
            std::vector<K::FileTransferFailed>{{"Transfer cancelled by manager"}});
  EXPECT_EQ(readFile(dir.path() / "keep.txt"), toBytes("original"));
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"keep.txt"}));
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
  // Data and end frames after the cancel write nothing.
  sendData(patternBytes(10, 3));
  sendEnd();
  settle();
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"keep.txt"}));
}

TEST_F(SessionFiles, ManagerClosingMidFileLeavesTheExistingFileAndNoTemporaryFile) {
  connect();
  writeFile(dir.path() / "keep.txt", "original");
  sendRecord(dir.path(), "keep.txt", 3 * MiB);
  sendData(patternBytes(MiB, 4));
  settle();
  EXPECT_EQ(namesIn(dir.path()).size(), 2u);  // the temporary file beside it
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 1);
  manager.closeClient();
  ASSERT_TRUE(session.waitFor([&] { return session.state() == DirectAuthState::failed; }));
  EXPECT_EQ(readFile(dir.path() / "keep.txt"), toBytes("original"));
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"keep.txt"}));
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SessionFiles, AgentDisconnectMidFileLeavesTheExistingFileAndNoTemporaryFile) {
  connect();
  writeFile(dir.path() / "keep.txt", "original");
  sendRecord(dir.path(), "keep.txt", 200'000);
  sendData(patternBytes(100'000, 4));
  settle();
  session.run(session.client->disconnect());
  EXPECT_EQ(readFile(dir.path() / "keep.txt"), toBytes("original"));
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"keep.txt"}));
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SessionFiles, HostileNamesAndFoldersAreRefused) {
  connect();
  fs::create_directory(dir.path() / "target");
  writeFile(dir.path() / "outside.txt", "outside");
  struct Case {
    std::string folder, name, text;
  };
  const std::string invalid = "Invalid legacy clipboard envelope.";
  const auto unusable = [](const std::string& folder) {
    return "The destination folder \u201C" + folder +
           "\u201D is not usable here: it is not an absolute path on this computer.";
  };
  const Case cases[] = {
      {(dir.path() / "target").string(), "..", invalid},
      {(dir.path() / "target").string(), ".", invalid},
      {(dir.path() / "target").string(), "a/..", invalid},
      {(dir.path() / "target").string(), "sub/.", invalid},
      {"", "x.txt", unusable("")},
      {"relative/folder", "x.txt", unusable("relative/folder")},
      {"C:\\Downloads", "x.txt", unusable("C:\\Downloads")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder + " | " + c.name);
    const auto before = session.countOf<K::FileTransferFailed>();
    sendRecord(c.folder, c.name, 7);
    sendData(toBytes("payload"));
    sendEnd();
    settle();
    const auto failures = session.eventsOf<K::FileTransferFailed>();
    ASSERT_EQ(failures.size(), before + 1);  // once for the file, not once per frame
    EXPECT_EQ(failures[before].text, c.text);
  }
  EXPECT_EQ(session.countOf<K::FileTransferCompleted>(), 0u);
  EXPECT_TRUE(namesIn(dir.path() / "target").empty());
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"outside.txt", "target"}));
  EXPECT_EQ(readFile(dir.path() / "outside.txt"), toBytes("outside"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "relative"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "x.txt"));
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
  // A path in the name is cut to its last component.
  sendRecord(dir.path() / "target", "../../escape.txt", 3);
  sendData(toBytes("abc"));
  sendEnd();
  settle();
  EXPECT_EQ(readFile(dir.path() / "target" / "escape.txt"), toBytes("abc"));
  EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escape.txt"));
}

// ---- to the manager -----------------------------------------------------------------------------

TEST_F(SessionFiles, FilesToTheManagerLeaveByteForByte) {
  connect();
  std::vector<std::string> urls;
  for (auto size : sizes) {
    const auto path = dir.path() / ("up-" + std::to_string(size) + ".bin");
    writeFile(path, patternBytes(size, static_cast<std::uint32_t>(size + 7)));
    urls.push_back(fileURL(path));
  }
  session.run(session.client->notifyLocalClipboardFiles(urls));
  request(E::currentFolder(99, "C:\\Target", ""));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::FileTransferCompleted>() == 1; }));
  settle();
  const auto files = uploads();
  ASSERT_EQ(files.size(), 4u);
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    EXPECT_EQ(files[i].record.filename, "up-" + std::to_string(sizes[i]) + ".bin");
    EXPECT_EQ(files[i].record.destinationFolder, "C:\\Target");
    EXPECT_EQ(files[i].record.additionalFolder, "");
    EXPECT_EQ(files[i].record.currentIndex, static_cast<std::int32_t>(i));
    EXPECT_EQ(files[i].record.total, 4);
    EXPECT_EQ(files[i].record.comNum, sessionComNum);
    EXPECT_EQ(files[i].record.fileSize, static_cast<std::int64_t>(sizes[i]));
    EXPECT_TRUE(files[i].ended);
    EXPECT_EQ(files[i].data, patternBytes(sizes[i], static_cast<std::uint32_t>(sizes[i] + 7)));
  }
  // Data frames: 60,000 bytes each but the last of a file.
  std::size_t dataFrames = 0;
  for (const auto& frame : replies())
    if (frame.command == 12) ++dataFrames;
  EXPECT_EQ(dataFrames, 0u + 1 + 3 + (3 * MiB + 59'999) / 60'000);
  EXPECT_EQ(session.eventsOf<K::FileTransferStarted>(), (std::vector<K::FileTransferStarted>{{"upload", 4}}));
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SessionFiles, UploadCutByDisconnectEndsWithOneFailureAndNoLease) {
  manager.setReceiveBufferSize(64 * 1024);
  drain(io);
  connect();
  const auto big = dir.path() / "big.bin";
  writeFile(big, patternBytes(24 * MiB, 5));
  session.run(session.client->notifyLocalClipboardFiles({fileURL(big)}));
  manager.pauseReading(true);
  drain(io);
  request(E::currentFolder(99, "C:\\Target", ""));
  // The manager reads nothing, so the upload stalls in a send with the lease held.
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::FileTransferStarted>() == 1; }));
  ASSERT_TRUE(session.waitFor([&] { return session.gate->snapshot().fileTransfers() == 1; }));
  drain(io);
  session.run(session.client->disconnect());
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::FileTransferFailed>() == 1; }));
  drain(io);
  EXPECT_EQ(session.countOf<K::FileTransferCompleted>(), 0u);
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
  EXPECT_EQ(session.state(), DirectAuthState::disconnected);
  EXPECT_EQ(readFile(big), patternBytes(24 * MiB, 5));  // the source is only read
}

TEST_F(SessionFiles, FoldersAreUploadedRecursively) {
  connect();
  const auto root = dir.path() / "Project";
  fs::create_directories(root / "sub" / "deeper");
  fs::create_directories(root / "empty");
  writeFile(root / "a.txt", "A");
  writeFile(root / "sub" / "b.bin", patternBytes(70'000, 2));
  writeFile(root / "sub" / "deeper" / "c.txt", "CCC");
  fs::create_symlink(root / "a.txt", root / "link.txt");  // links are not followed
  const std::string singleCommand = command(4, dir.path(), {root.string()}, "D:\\Inbox");
  request(E::string(E::setSingleCommands, 99, singleCommand));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::FileTransferCompleted>() == 1; }));
  settle();
  std::map<std::string, UploadedFile> byPath;
  for (auto& file : uploads()) byPath[file.record.additionalFolder + "/" + file.record.filename] = file;
  ASSERT_EQ(byPath.size(), 3u);
  EXPECT_EQ(byPath.at("Project/a.txt").data, toBytes("A"));
  EXPECT_EQ(byPath.at("Project/sub/b.bin").data, patternBytes(70'000, 2));
  EXPECT_EQ(byPath.at("Project/sub/deeper/c.txt").data, toBytes("CCC"));
  for (auto& [path, file] : byPath) {
    EXPECT_EQ(file.record.destinationFolder, "D:\\Inbox");
    EXPECT_EQ(file.record.total, 3);
    EXPECT_TRUE(file.ended);
  }
}

TEST_F(SessionFiles, SpecialFilesAndMissingClipboardFilesAreNotSent) {
  connect();
  const auto fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  session.run(session.client->notifyLocalClipboardFiles({fileURL(fifo), fileURL(dir.path() / "missing")}));
  request(E::currentFolder(99, "C:\\Target", ""));
  settle();
  EXPECT_EQ(session.eventsOf<K::FileTransferFailed>().back().text, "No readable local clipboard files");
  EXPECT_TRUE(uploads().empty());
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
}

// ---- listings and single-file commands ----------------------------------------------------------

TEST_F(SessionFiles, ListingCreateRenameAndDeleteThroughRequests128And129) {
  connect();
  writeFile(dir.path() / "a.txt", "abc");
  fs::create_directory(dir.path() / "sub");
  request(E::string(E::getSingleFiles, 99, dir.path().string()));
  settle();
  auto lists = listings();
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0]["protocolName"], "VantrelMac.SingleFileList.v1");
  EXPECT_EQ(lists[0]["path"], dir.path().string());
  ASSERT_EQ(lists[0]["entries"].size(), 2u);
  EXPECT_EQ(lists[0]["entries"][0]["name"], "sub");
  EXPECT_EQ(lists[0]["entries"][0]["isDirectory"], true);
  EXPECT_EQ(lists[0]["entries"][1]["name"], "a.txt");
  EXPECT_EQ(lists[0]["entries"][1]["size"], 3);
  EXPECT_EQ(session.eventsOf<K::SingleFileListSent>(),
            (std::vector<K::SingleFileListSent>{{dir.path().string(), 2}}));
  for (const auto& frame : replies()) EXPECT_EQ(frame.comNum, sessionComNum);

  // Create.
  request(E::string(E::setSingleCommands, 99, command(1, dir.path(), {"made"})));
  settle();
  EXPECT_TRUE(fs::is_directory(dir.path() / "made"));
  // Rename never replaces an existing name …
  request(E::string(E::setSingleCommands, 99, command(2, dir.path(), {"a.txt", "made"})));
  settle();
  EXPECT_EQ(session.eventsOf<K::SingleFileCommandFailed>().size(), 1u);
  EXPECT_EQ(readFile(dir.path() / "a.txt"), toBytes("abc"));
  // … but renames to a free one.
  request(E::string(E::setSingleCommands, 99, command(2, dir.path(), {"a.txt", "b.txt"})));
  settle();
  EXPECT_EQ(readFile(dir.path() / "b.txt"), toBytes("abc"));
  // Delete.
  request(E::string(E::setSingleCommands, 99, command(3, dir.path(), {"b.txt", "sub"})));
  settle();
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"made"}));
  // An unknown code and a name with a path are refused and change nothing.
  request(E::string(E::setSingleCommands, 99, command(9, dir.path(), {})));
  request(E::string(E::setSingleCommands, 99, command(1, dir.path(), {"../escape"})));
  settle();
  EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escape"));

  EXPECT_EQ(session.eventsOf<K::SingleFileCommandCompleted>(),
            (std::vector<K::SingleFileCommandCompleted>{{1}, {2}, {3}}));
  EXPECT_EQ(session.countOf<K::SingleFileCommandFailed>(), 3u);
  // Each successful command is answered by the folder's fresh listing.
  lists = listings();
  ASSERT_EQ(lists.size(), 4u);
  EXPECT_EQ(lists.back()["entries"].size(), 1u);
  EXPECT_EQ(lists.back()["entries"][0]["name"], "made");
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
}

}  // namespace
}  // namespace vantrel::testing
