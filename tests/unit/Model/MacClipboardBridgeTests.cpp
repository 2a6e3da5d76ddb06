#include <gtest/gtest.h>

#include <fstream>

#include "Model/Connection/MacClipboardBridge.hpp"
#include "Platform/Ports/Pasteboard.hpp"
#include "support/AsyncTest.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::drain;

const Bytes pngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

Bytes fakePNG(std::uint8_t tag) {
  Bytes png = pngSignature;
  png.push_back(tag);
  return png;
}

// A clipboard in memory. Every write and clear moves the change count, as the toolkit's change
// notifications do; with `reportLate` the count moves only when `deliverLateReports` is called.
class FakePasteboard final : public Pasteboard {
 public:
  struct Content {
    std::vector<std::string> files{};
    std::optional<Bytes> png{};
    std::optional<Bytes> otherImage{};  // already converted; nullopt with `otherImageFails`
    bool otherImageFails = false;
    std::optional<std::string> text{};
  };

  long long changeCount() const override {
    ++reads;
    return count_;
  }
  std::vector<std::string> fileURLs() override { return content_.files; }
  std::optional<Bytes> pngData() override { return content_.png; }
  std::optional<Bytes> otherImageAsPNG() override {
    if (content_.otherImageFails) return std::nullopt;
    return content_.otherImage;
  }
  std::optional<std::string> text() override { return content_.text; }
  bool decodesAsImage(ByteView png) const override {
    return png.size() > pngSignature.size() &&
           std::equal(pngSignature.begin(), pngSignature.end(), png.begin());
  }
  void clear() override {
    content_ = {};
    holdsLast_ = false;
    changed();
  }
  void writeText(const std::string& text) override {
    content_ = {};
    content_.text = text;
    holdsLast_ = true;
    ++writes;
    changed();
  }
  void writePNG(const Bytes& png) override {
    content_ = {};
    content_.png = png;
    holdsLast_ = true;
    ++writes;
    changed();
  }
  bool holdsLastWrite() const override { return holdsLast_; }

  // Another program copies.
  void userCopies(Content content) {
    content_ = std::move(content);
    holdsLast_ = false;
    ++count_;
  }
  void deliverLateReports() {
    count_ += pendingReports_;
    pendingReports_ = 0;
  }

  const Content& content() const { return content_; }
  bool reportLate = false;
  int writes = 0;
  mutable long long reads = 0;  // how often the change count was looked at

 private:
  void changed() {
    if (reportLate) {
      ++pendingReports_;
    } else {
      ++count_;
    }
  }
  Content content_;
  long long count_ = 7;
  long long pendingReports_ = 0;
  bool holdsLast_ = false;
};

// A session that records what it was asked to send, and can be made to fail.
class RecordingClient final : public LocalClipboardSending {
 public:
  struct Call {
    std::string operation;
    std::string text;
    Bytes png;
    std::vector<std::string> urls;
  };

  Awaitable<void> sendLocalClipboardText(std::string text) override {
    calls.push_back({"text", text, {}, {}});
    if (failure) std::rethrow_exception(failure);
    co_return;
  }
  Awaitable<void> sendLocalClipboardImagePNG(Bytes png) override {
    calls.push_back({"png", {}, png, {}});
    if (failure) std::rethrow_exception(failure);
    co_return;
  }
  Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string> urls) override {
    calls.push_back({"files", {}, {}, urls});
    if (failure) std::rethrow_exception(failure);
    co_return;
  }
  Awaitable<void> reportClipboardBridgeFailure(std::string detail) override {
    reports.push_back(detail);
    co_return;
  }

  std::vector<Call> calls;
  std::vector<std::string> reports;
  std::exception_ptr failure;
};

class ClipboardBridgeTest : public ::testing::Test {
 protected:
  std::shared_ptr<MacClipboardBridge> makeBridge(int clients = 1) {
    std::vector<std::shared_ptr<LocalClipboardSending>> list;
    for (int i = 0; i < clients; ++i) {
      sessions.push_back(std::make_shared<RecordingClient>());
      list.push_back(sessions.back());
    }
    return MacClipboardBridge::create(io.get_executor(), pasteboard, list);
  }
  // Lets the poll run for `ticks` intervals: each ends once the poll has looked at the clipboard
  // and whatever sends it started have run.
  void tick(int ticks = 1) {
    for (int i = 0; i < ticks; ++i) {
      const auto before = pasteboard->reads;
      clock.advance(MacClipboardBridge::pollInterval);
      ASSERT_TRUE(testing::runUntil(io, [&] { return pasteboard->reads > before; }));
      drain(io);
    }
  }
  // Moves time while no poll runs: nothing looks at the clipboard.
  void idle(int ticks) {
    const auto before = pasteboard->reads;
    clock.advance(ticks * MacClipboardBridge::pollInterval);
    io.run_for(std::chrono::milliseconds(20));
    EXPECT_EQ(pasteboard->reads, before);
  }
  // Runs what is ready without moving time (the poll must not look).
  void settle() {
    const auto before = pasteboard->reads;
    drain(io);
    EXPECT_EQ(pasteboard->reads, before);
  }
  RecordingClient& session(std::size_t i = 0) { return *sessions.at(i); }

  ManualClock clock;
  asio::io_context io;
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
  std::vector<std::shared_ptr<RecordingClient>> sessions;
};

TEST_F(ClipboardBridgeTest, ContentPresentAtCreationOrStartIsNeverSent) {
  pasteboard->userCopies({.text = "before creation"});
  auto bridge = makeBridge();
  bridge->start();
  tick(3);
  EXPECT_TRUE(session().calls.empty());

  bridge->stop();
  pasteboard->userCopies({.text = "while stopped"});
  idle(2);
  bridge->start();
  tick(3);
  EXPECT_TRUE(session().calls.empty());

  pasteboard->userCopies({.text = "after start"});
  tick();
  ASSERT_EQ(session().calls.size(), 1u);
  EXPECT_EQ(session().calls[0].text, "after start");
  tick(3);
  EXPECT_EQ(session().calls.size(), 1u) << "one change is sent once";
}

TEST_F(ClipboardBridgeTest, NothingIsReadBeforeTheFirstTickAndNothingAfterStop) {
  auto bridge = makeBridge();
  bridge->start();
  pasteboard->userCopies({.text = "x"});
  clock.advance(MacClipboardBridge::pollInterval - 1ms);
  settle();
  EXPECT_TRUE(session().calls.empty());
  const auto before = pasteboard->reads;
  clock.advance(1ms);
  ASSERT_TRUE(testing::runUntil(io, [&] { return pasteboard->reads > before; }));
  drain(io);
  EXPECT_EQ(session().calls.size(), 1u);

  bridge->stop();
  EXPECT_FALSE(bridge->isRunning());
  pasteboard->userCopies({.text = "y"});
  idle(4);
  EXPECT_EQ(session().calls.size(), 1u);
}

struct KindCase {
  const char* name;
  FakePasteboard::Content content;
  std::string expectedOperation;  // empty: nothing sent
  std::string expectedText;
  Bytes expectedPNG;
};

TEST_F(ClipboardBridgeTest, OneKindPerChangeFilesThenImageThenText) {
  const std::vector<KindCase> cases = {
      {"files beat an icon image and text",
       {.files = {"file:///tmp/a.txt", "file:///tmp/b%20c"}, .png = fakePNG(1), .text = "a.txt"},
       "files",
       {},
       {}},
      {"PNG beats text", {.png = fakePNG(2), .text = "caption"}, "png", {}, fakePNG(2)},
      {"another image format goes as PNG", {.otherImage = fakePNG(3), .text = "t"}, "png", {}, fakePNG(3)},
      {"empty PNG data falls through to the other image",
       {.png = Bytes{}, .otherImage = fakePNG(4)},
       "png",
       {},
       fakePNG(4)},
      {"an image that cannot be converted gives way to text",
       {.otherImageFails = true, .text = "fallback"},
       "text",
       "fallback",
       {}},
      {"text alone", {.text = "안녕 hello"}, "text", "안녕 hello", {}},
      {"an empty string sends nothing", {.text = ""}, "", {}, {}},
      {"nothing readable sends nothing", {}, "", {}, {}},
  };
  auto bridge = makeBridge();
  bridge->start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    session().calls.clear();
    pasteboard->userCopies(c.content);
    tick();
    if (c.expectedOperation.empty()) {
      EXPECT_TRUE(session().calls.empty());
      continue;
    }
    ASSERT_EQ(session().calls.size(), 1u);
    const auto& call = session().calls[0];
    EXPECT_EQ(call.operation, c.expectedOperation);
    if (c.expectedOperation == "files") {
      EXPECT_EQ(call.urls, c.content.files);
    } else if (c.expectedOperation == "text") {
      EXPECT_EQ(call.text, c.expectedText);
    } else {
      EXPECT_EQ(call.png, c.expectedPNG);
    }
  }
}

TEST_F(ClipboardBridgeTest, RemoteValuesAreWrittenAndNeverEchoed) {
  auto bridge = makeBridge();
  bridge->start();
  bridge->applyRemote(LegacyClipboardValue::text("from the manager"));
  EXPECT_EQ(pasteboard->content().text, "from the manager");
  bridge->applyRemote(LegacyClipboardValue::imagePNG(fakePNG(9)));
  EXPECT_EQ(pasteboard->content().png, fakePNG(9));
  EXPECT_FALSE(pasteboard->content().text.has_value()) << "the write replaces the whole content";
  tick(3);
  EXPECT_TRUE(session().calls.empty());

  pasteboard->userCopies({.text = "typed by the user"});
  tick();
  ASSERT_EQ(session().calls.size(), 1u);
  EXPECT_EQ(session().calls[0].text, "typed by the user");
}

TEST_F(ClipboardBridgeTest, ARemoteValueReportedLateByTheToolkitIsStillNotEchoed) {
  auto bridge = makeBridge();
  bridge->start();
  pasteboard->reportLate = true;
  bridge->applyRemote(LegacyClipboardValue::text("late"));
  tick();
  pasteboard->deliverLateReports();  // the clear and the write, reported after the bridge looked
  tick(2);
  EXPECT_TRUE(session().calls.empty());

  pasteboard->reportLate = false;
  pasteboard->userCopies({.text = "mine"});
  tick();
  ASSERT_EQ(session().calls.size(), 1u);
  EXPECT_EQ(session().calls[0].text, "mine");
}

TEST_F(ClipboardBridgeTest, ImageBytesThatAreNoImageLeaveTheClipboardUntouched) {
  auto bridge = makeBridge();
  pasteboard->userCopies({.text = "kept"});
  const auto count = pasteboard->changeCount();
  const auto observed = bridge->observedChangeCount();
  bridge->applyRemote(LegacyClipboardValue::imagePNG(Bytes{'n', 'o', 't', ' ', 'p', 'n', 'g', '!', '!'}));
  bridge->applyRemote(LegacyClipboardValue::imagePNG(Bytes{}));
  EXPECT_EQ(pasteboard->changeCount(), count);
  EXPECT_EQ(pasteboard->content().text, "kept");
  EXPECT_EQ(pasteboard->writes, 0);
  EXPECT_EQ(bridge->observedChangeCount(), observed);
}

TEST_F(ClipboardBridgeTest, AFilesAnnouncementWritesNothingAndDoesNotSwallowAPendingCopy) {
  auto bridge = makeBridge();
  bridge->start();
  pasteboard->userCopies({.text = "copied just before"});
  bridge->applyRemote(LegacyClipboardValue::files());
  EXPECT_EQ(pasteboard->writes, 0);
  tick();
  ASSERT_EQ(session().calls.size(), 1u);
  EXPECT_EQ(session().calls[0].text, "copied just before");
}

TEST_F(ClipboardBridgeTest, EveryClientGetsTheCopyAndOnlyTheFailingOneReports) {
  auto bridge = makeBridge(3);
  session(1).failure = std::make_exception_ptr(LegacyClipboardCodecError::valueTooLarge());
  bridge->start();
  pasteboard->userCopies({.text = "to all"});
  tick();
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(session(i).calls.size(), 1u) << i;
    EXPECT_EQ(session(i).calls[0].text, "to all");
  }
  EXPECT_TRUE(session(0).reports.empty());
  EXPECT_TRUE(session(2).reports.empty());
  ASSERT_EQ(session(1).reports.size(), 1u);
  EXPECT_EQ(session(1).reports[0], localizedDescription(LegacyClipboardCodecError::valueTooLarge()));
  tick(3);
  EXPECT_EQ(session(1).calls.size(), 1u) << "a failed send is not retried";
}

TEST_F(ClipboardBridgeTest, TheClientListCanBeReplaced) {
  auto bridge = makeBridge(1);
  bridge->start();
  auto primary = sessions[0];
  auto secondary = std::make_shared<RecordingClient>();
  bridge->setAuthClients({primary, secondary});
  pasteboard->userCopies({.text = "two"});
  tick();
  EXPECT_EQ(primary->calls.size(), 1u);
  EXPECT_EQ(secondary->calls.size(), 1u);

  bridge->setAuthClients({primary});
  pasteboard->userCopies({.text = "one"});
  tick();
  EXPECT_EQ(primary->calls.size(), 2u);
  EXPECT_EQ(secondary->calls.size(), 1u);
}

TEST_F(ClipboardBridgeTest, ADestroyedBridgeNoLongerPolls) {
  auto bridge = makeBridge();
  bridge->start();
  bridge.reset();
  pasteboard->userCopies({.text = "after"});
  idle(3);
  EXPECT_TRUE(session().calls.empty());
}

TEST(ClipboardPasteDestination, DownloadsFromTheUserDirsElseHome) {
  testing::TemporaryHome home;
  const auto config = home.path() / ".config";
  std::filesystem::create_directories(config);
  // No Downloads folder at all: home.
  EXPECT_EQ(MacClipboardBridge::currentPasteDestination(), home.path().string());

  std::filesystem::create_directories(home.path() / "Eingang");
  std::ofstream(config / "user-dirs.dirs") << "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Eingang\"\n";
  EXPECT_EQ(MacClipboardBridge::currentPasteDestination(), (home.path() / "Eingang").string());

  // Asked from another thread (a session's executor), the answer is the same.
  std::string fromThread;
  std::thread([&] { fromThread = MacClipboardBridge::currentPasteDestination(); }).join();
  EXPECT_EQ(fromThread, (home.path() / "Eingang").string());

  // A configured folder that does not exist is no place to paste into.
  std::filesystem::remove(home.path() / "Eingang");
  EXPECT_EQ(MacClipboardBridge::currentPasteDestination(), home.path().string());
}

}  // namespace
}  // namespace vantrel
