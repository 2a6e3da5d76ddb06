#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/LegacyFileTransfer.hpp"
#include "Session/SingleFileRequests.hpp"
#include "Support/Uuid.hpp"
#include "support/AsyncTest.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
namespace kinds = DirectAuthEventKinds;
using testing::namesIn;
using testing::TemporaryDirectory;
using testing::writeFile;
using Events = std::vector<DirectAuthEvent::Kind>;

struct Wire {
  std::vector<Bytes> basic;
  std::vector<std::pair<std::uint8_t, Bytes>> files;
  Events events;
  std::shared_ptr<UpdateActivityGate> gate = UpdateActivityGate::create();
  std::vector<int> leasesDuringSend;
  bool failSends = false;
};

Awaitable<void> recordBasic(Wire* wire, Bytes payload) {
  wire->leasesDuringSend.push_back(wire->gate->snapshot().fileTransfers());
  if (wire->failSends) throw std::runtime_error("TCP send failed: reset");
  wire->basic.push_back(std::move(payload));
  co_return;
}

Awaitable<void> recordFilePayload(Wire* wire, Bytes payload, std::uint8_t command) {
  wire->files.emplace_back(command, std::move(payload));
  co_return;
}

class SingleFileRequestTests : public ::testing::Test {
 protected:
  TemporaryDirectory dir;
  asio::io_context io;
  Wire wire;

  SingleFileRequestContext context() {
    SingleFileRequestContext c;
    c.gate = wire.gate;
    c.comNum = 6;
    auto* w = &wire;
    c.sendHeaderBasicPayload = [w](Bytes payload) { return recordBasic(w, std::move(payload)); };
    c.emit = [w](DirectAuthEvent::Kind kind) { w->events.push_back(std::move(kind)); };
    c.upload.gate = wire.gate;
    c.upload.comNum = 6;
    c.upload.sendPayload = [w](Bytes payload, std::uint8_t command) {
      return recordFilePayload(w, std::move(payload), command);
    };
    c.upload.emit = c.emit;
    return c;
  }

  void get(const std::string& path) {
    testing::runAwaitable(
        io, handleGetSingleFiles(LegacyClipboardCodec::makeStringDataClass(128, path, 99), context()));
  }

  void set(const std::string& json) {
    testing::runAwaitable(
        io, handleSetSingleCommands(LegacyClipboardCodec::makeStringDataClass(129, json, 99), context()));
  }

  std::string command(int code, const fs::path& path, const std::vector<std::string>& files,
                      const std::string& remotePath = "") {
    nlohmann::json document = {{"protocolName", "VantrelMac.SingleFileCommand.v1"},
                               {"command", code},
                               {"path", path.string()},
                               {"remotePath", remotePath},
                               {"files", files}};
    return document.dump();
  }

  // The listing JSON carried by a sent reply envelope.
  nlohmann::json listing(std::size_t index) {
    EXPECT_LT(index, wire.basic.size());
    const auto text = LegacyClipboardCodec::decodeStringDataClass(wire.basic.at(index), 128);
    EXPECT_TRUE(text.has_value());
    return nlohmann::json::parse(text.value_or("null"));
  }
};

TEST_F(SingleFileRequestTests, ListingIsSentInAKind128EnvelopeUnderTheSessionsComNum) {
  writeFile(dir.path() / "a.txt", "abc");
  fs::create_directory(dir.path() / "sub");
  get(dir.path().string() + "/./");
  ASSERT_EQ(wire.basic.size(), 1u);
  // The envelope carries the session's comNum (6), not the request's (99).
  EXPECT_EQ(wire.basic[0], LegacyClipboardCodec::makeStringDataClass(
                               128, *LegacyClipboardCodec::decodeStringDataClass(wire.basic[0], 128), 6));
  const auto json = listing(0);
  EXPECT_EQ(json["protocolName"], "VantrelMac.SingleFileList.v1");
  EXPECT_EQ(json["path"], dir.path().string());
  ASSERT_EQ(json["entries"].size(), 2u);
  EXPECT_EQ(json["entries"][0]["name"], "sub");
  EXPECT_EQ(json["entries"][1]["size"], 3);
  EXPECT_EQ(wire.events, (Events{kinds::SingleFileListSent{dir.path().string(), 2}}));
  EXPECT_EQ(wire.leasesDuringSend, std::vector<int>{1});
  EXPECT_EQ(wire.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SingleFileRequestTests, UnreadableRequestOrFolderIsReported) {
  testing::runAwaitable(
      io, handleGetSingleFiles(LegacyClipboardCodec::makeStringDataClass(129, dir.path().string(), 1),
                               context()));
  testing::runAwaitable(io, handleGetSingleFiles(toBytes("garbage"), context()));
  get((dir.path() / "missing").string());
  EXPECT_TRUE(wire.basic.empty());
  EXPECT_EQ(wire.events, (Events{kinds::SingleFileListFailed{"GET_SINGLE_FILES path failed validation"},
                                 kinds::SingleFileListFailed{"GET_SINGLE_FILES path failed validation"},
                                 kinds::SingleFileListFailed{"Couldn\u2019t read the folder \u201C" +
                                                             (dir.path() / "missing").string() +
                                                             "\u201D: No such file or directory"}}));
  EXPECT_EQ(wire.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SingleFileRequestTests, ReservedGateRefusesListingAndCommands) {
  ASSERT_TRUE(wire.gate->reserveInstallationIfIdle(Uuid::random(), 0));
  get(dir.path().string());
  set(command(1, dir.path(), {"new"}));
  EXPECT_TRUE(wire.basic.empty());
  EXPECT_FALSE(fs::exists(dir.path() / "new"));
  EXPECT_EQ(wire.events, (Events{kinds::SingleFileListFailed{"Update installation in progress"},
                                 kinds::SingleFileCommandFailed{"Update installation in progress"}}));
}

TEST_F(SingleFileRequestTests, SendFailureIsAListFailure) {
  wire.failSends = true;
  get(dir.path().string());
  EXPECT_EQ(wire.events, (Events{kinds::SingleFileListFailed{"TCP send failed: reset"}}));
  EXPECT_EQ(wire.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SingleFileRequestTests, SuccessfulCommandIsReportedThenTheFolderListedAgain) {
  set(command(1, dir.path(), {"made"}));
  EXPECT_TRUE(fs::is_directory(dir.path() / "made"));
  EXPECT_EQ(wire.events, (Events{kinds::SingleFileCommandCompleted{1},
                                 kinds::SingleFileListSent{dir.path().string(), 1}}));
  ASSERT_EQ(wire.basic.size(), 1u);
  EXPECT_EQ(listing(0)["entries"][0]["name"], "made");
  // The command's lease and the listing's own lease are both held while the listing is sent.
  EXPECT_EQ(wire.leasesDuringSend, std::vector<int>{2});
  EXPECT_EQ(wire.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SingleFileRequestTests, FailedCommandIsReportedWithoutListing) {
  writeFile(dir.path() / "a", "1");
  writeFile(dir.path() / "b", "2");
  set(command(2, dir.path(), {"a", "b"}));
  set(command(2, dir.path(), {"a", "../escape"}));
  set(command(7, dir.path(), {}));
  set("{\"protocolName\":\"VantrelMac.SingleFileCommand.v1\"}");
  testing::runAwaitable(
      io, handleSetSingleCommands(
              LegacyClipboardCodec::makeStringDataClass(128, command(1, dir.path(), {"x"}), 1), context()));
  EXPECT_TRUE(wire.basic.empty());
  EXPECT_EQ(wire.events,
            (Events{kinds::SingleFileCommandFailed{"Couldn\u2019t rename \u201C" +
                                                   (dir.path() / "a").string() + "\u201D: File exists"},
                    kinds::SingleFileCommandFailed{
                        "The file couldn\u2019t be saved because the file name is invalid."},
                    kinds::SingleFileCommandFailed{"The requested operation couldn\u2019t be "
                                                   "completed because the feature is not "
                                                   "supported."},
                    kinds::SingleFileCommandFailed{"SET_SINGLE_CMDS payload failed validation"},
                    kinds::SingleFileCommandFailed{"SET_SINGLE_CMDS payload failed validation"}}));
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(wire.gate->snapshot().fileTransfers(), 0);
}

TEST_F(SingleFileRequestTests, CommandFourSendsTheNamedFilesToTheRemotePath) {
  writeFile(dir.path() / "one", "111");
  writeFile(dir.path() / "two", "2");
  set(command(4, "/ignored", {(dir.path() / "one").string(), (dir.path() / "two").string()}, "D:\\Inbox"));
  EXPECT_TRUE(wire.basic.empty());
  ASSERT_EQ(wire.files.size(), 6u);
  const auto record = LegacyFileMetadata::decode(wire.files[0].second);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->destinationFolder, "D:\\Inbox");
  EXPECT_EQ(record->filename, "one");
  EXPECT_EQ(record->comNum, 6);
  EXPECT_EQ(wire.files[1], (std::pair<std::uint8_t, Bytes>{12, toBytes("111")}));
  EXPECT_EQ(wire.files[2], (std::pair<std::uint8_t, Bytes>{15, Bytes{0x31}}));
  // No single-file event: the upload reports for itself.
  EXPECT_EQ(wire.events.front(), (DirectAuthEvent::Kind{kinds::FileTransferStarted{"upload", 2}}));
  EXPECT_EQ(wire.events.back(), (DirectAuthEvent::Kind{kinds::FileTransferCompleted{"upload", 2}}));
}

}  // namespace
}  // namespace vantrel
