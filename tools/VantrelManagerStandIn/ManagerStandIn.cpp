#include "ManagerStandIn.hpp"

#include <fmt/format.h>
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <vector>

#include "H264PictureDecoder.hpp"
#include "IncomingFile.hpp"
#include "Platform/System/Crypto.hpp"
#include "StandInWire.hpp"
#include "StreamLog.hpp"
#include "Support/WallClock.hpp"
#include "support/LumaPicture.hpp"
#include "support/ManagerWire.hpp"

namespace vantrel::standin {

namespace {

namespace W = testing::ManagerWire;
namespace E = testing::ManagerEnvelopes;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

struct Agent {
  explicit Agent(tcp::socket s, int i) : socket(std::move(s)), index(i) {}
  tcp::socket socket;
  int index;
  std::uint16_t comNum = 0;
  bool registered = false;
  bool open = true;
  std::uint16_t timestamp = 1000;
};

class StandIn {
 public:
  StandIn(const StandInOptions& options, const std::atomic<bool>& stop)
      : options_(options),
        stop_(stop),
        acceptor_(io_, tcp::endpoint(asio::ip::make_address(options.address), options.port)) {
    report_ = {{"connections", 0},
               {"authentications", json::array()},
               {"steps", json::array()},
               {"filesReceived", json::array()},
               {"filesSent", json::array()},
               {"listings", json::array()},
               {"clipboardReceived", json::array()},
               {"basicKinds", json::object()}};
    if (options.receiveBufferBytes > 0) {
      // Accepted connections take the listener's buffer (and window) from the start.
      acceptor_.set_option(asio::socket_base::receive_buffer_size(options.receiveBufferBytes));
    }
  }

  int run() {
    const auto port = acceptor_.local_endpoint().port();
    if (!options_.portFile.empty()) {
      std::ofstream(options_.portFile) << port << "\n";
    }
    std::cout << "manager stand-in listening on " << options_.address << ":" << port << std::endl;
    asio::co_spawn(io_, acceptLoop(), asio::detached);
    asio::co_spawn(io_, runScript(), [this](std::exception_ptr e) {
      if (e) {
        try {
          std::rethrow_exception(e);
        } catch (const std::exception& error) {
          fail(fmt::format("script stopped: {}", error.what()));
        }
      }
      scriptDone_ = true;
      writeReport();
      // One line a watcher can wait for, whatever the outcome.
      std::cout << (failed_ ? "script done: failed" : "script done: ok") << std::endl;
    });
    asio::co_spawn(io_, watchStop(), asio::detached);
    io_.run();
    writeReport();
    return failed_ ? 1 : 0;
  }

 private:
  asio::awaitable<void> acceptLoop() {
    for (;;) {
      auto [error, socket] =
          co_await acceptor_.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
      if (error) co_return;
      socket.set_option(tcp::no_delay(true));
      auto agent = std::make_shared<Agent>(std::move(socket), connections_++);
      report_["connections"] = connections_;
      newest_ = agent;
      asio::co_spawn(io_, readLoop(agent), asio::detached);
    }
  }

  asio::awaitable<void> watchStop() {
    asio::steady_timer timer(io_);
    for (;;) {
      timer.expires_after(std::chrono::milliseconds(50));
      co_await timer.async_wait(asio::use_awaitable);
      if (stop_.load() || (scriptDone_ && !options_.serve)) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        if (newest_) newest_->socket.close(ignored);
        io_.stop();
        co_return;
      }
    }
  }

  asio::awaitable<void> readLoop(std::shared_ptr<Agent> agent) {
    Bytes buffer;
    const bool paced = options_.readBytesPerSecond > 0;
    // A paced reader takes small bites, so that the link it plays drains evenly.
    std::vector<std::uint8_t> chunk(paced ? 4096 : 65536);
    asio::steady_timer pace(io_);
    const auto readingSince = Clock::now();
    double bytesRead = 0;
    for (;;) {
      if (paced) {
        // Not before the bytes read so far would have crossed the link.
        pace.expires_at(readingSince +
                        std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(bytesRead / options_.readBytesPerSecond)));
        co_await pace.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      }
      auto [error, n] = co_await agent->socket.async_read_some(
          asio::buffer(chunk), asio::experimental::as_tuple(asio::use_awaitable));
      if (error) break;
      bytesRead += static_cast<double>(n);
      buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
      auto frames = W::takeFrames(buffer);
      if (!frames) {
        fail(fmt::format("connection {}: the agent sent bytes that are not a frame", agent->index));
        break;
      }
      for (auto& frame : *frames) co_await handleFrame(agent, std::move(frame));
    }
    agent->open = false;
    std::cout << "agent " << agent->index << " disconnected" << std::endl;
  }

  asio::awaitable<void> handleFrame(std::shared_ptr<Agent> agent, W::Frame frame) {
    switch (frame.command) {
      case authCommand: {
        const std::string payload(frame.payload.begin(), frame.payload.end());
        agent->comNum = frame.comNum;
        report_["authentications"].push_back(
            {{"connection", agent->index},
             {"userID", payload.rfind("R_", 0) == 0 ? payload.substr(2) : payload},
             {"comNum", frame.comNum},
             {"payloadPrefixOK", payload.rfind("R_", 0) == 0}});
        const std::uint8_t answer = options_.rejectAuthentication ? '0' : '1';
        co_await write(agent, W::frame(authCommand, ByteView(&answer, 1), 0, frame.comNum));
        break;
      }
      case registrationCommand:
        agent->registered = frame.payload.size() == 1 && frame.payload[0] == '1';
        std::cout << "agent " << agent->index << " registered (comNum " << agent->comNum << ")" << std::endl;
        break;
      case screenUnitCommand: screenFrame(frame); break;
      case basicCommand: basicFrame(frame); break;
      case fileInfoCommand:
        if (auto file = IncomingFile::announced(frame.payload)) incoming_ = std::move(file);
        break;
      case fileDataCommand:
        if (incoming_) incoming_->append(frame.payload);
        break;
      case fileEndCommand:
        if (incoming_) {
          report_["filesReceived"].push_back(incoming_->finish(options_.fetchFolder));
          incoming_.reset();
        }
        break;
      default: break;
    }
  }

  void screenFrame(const W::Frame& frame) {
    ++screenFrames_;
    screenBytes_ += static_cast<long long>(frame.payload.size()) + 12;
    if (frame.sequenceNumber == 0) unit_.clear();
    unit_.insert(unit_.end(), frame.payload.begin(), frame.payload.end());
    if (frame.sequenceNumber + 1 != frame.numChunks) return;
    ++screenUnits_;
    const int decoded = decoder_.decode(unit_);
    if (decoded > 0 && !firstPictureMs_ && screenRequestedAt_) {
      firstPictureMs_ = std::chrono::duration<double, std::milli>(Clock::now() - *screenRequestedAt_).count();
    }
    streamLog_.record(unit_, decoded, decoder_);
    unit_.clear();
  }

  void basicFrame(const W::Frame& frame) {
    // Basic messages may span several frames; join them the way the manager does.
    if (frame.numChunks > 1) {
      if (frame.sequenceNumber == 0) basic_.clear();
      basic_.insert(basic_.end(), frame.payload.begin(), frame.payload.end());
      if (frame.sequenceNumber + 1 != frame.numChunks) return;
    } else {
      basic_ = frame.payload;
    }
    const auto kind = E::kindAt228(basic_);
    if (!kind) return;
    auto& counter = report_["basicKinds"][std::to_string(*kind)];
    counter = counter.is_number() ? counter.get<int>() + 1 : 1;
    if (*kind == E::getSingleFiles) {
      if (auto text = firstString(basic_)) lastListing_ = *text;
    } else if (*kind == E::clipboardText) {
      if (auto text = firstString(basic_)) report_["clipboardReceived"].push_back(*text);
    }
    ++basicMessages_;
  }

  asio::awaitable<void> write(std::shared_ptr<Agent> agent, Bytes bytes) {
    auto [error, n] = co_await asio::async_write(agent->socket, asio::buffer(bytes),
                                                 asio::experimental::as_tuple(asio::use_awaitable));
    (void)n;
    if (error) throw std::runtime_error("write to the agent failed: " + error.message());
  }

  asio::awaitable<void> sendBasic(const Bytes& envelope) {
    auto agent = newest_;
    co_await write(agent, W::message(basicCommand, envelope, agent->timestamp++, agent->comNum));
  }

  asio::awaitable<bool> waitUntil(std::function<bool()> done, double seconds) {
    asio::steady_timer timer(io_);
    // Seconds from the command line or a step: NaN is no wait, and a number too large for the
    // clock (1e308) waits as long as the clock can count.
    const auto start = Clock::now();
    const auto limit = durationFromSeconds<Clock::duration>(seconds).value_or(Clock::duration::zero());
    const auto deadline = limit > Clock::time_point::max() - start ? Clock::time_point::max() : start + limit;
    while (!done()) {
      if (Clock::now() >= deadline || stop_.load()) co_return false;
      timer.expires_after(std::chrono::milliseconds(5));
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_return true;
  }

  asio::awaitable<void> pause(double seconds) {
    asio::steady_timer timer(io_);
    timer.expires_after(durationFromSeconds<Clock::duration>(seconds).value_or(Clock::duration::zero()));
    co_await timer.async_wait(asio::use_awaitable);
  }

  asio::awaitable<void> runScript() {
    std::cout << "waiting for an agent" << std::endl;
    if (!co_await waitUntil([this] { return newest_ && newest_->registered; },
                            options_.stepTimeoutSeconds * 4)) {
      fail("no agent authenticated and registered");
      co_return;
    }
    for (const auto& step : options_.script) {
      const std::string name = step.value("step", "");
      json result = {{"step", name}};
      std::string error;
      try {
        error = co_await runStep(step, result);
      } catch (const std::exception& e) {
        error = e.what();
      }
      result["ok"] = error.empty();
      // Access units received so far: the difference between two steps is what arrived between them.
      result["unitsSoFar"] = screenUnits_;
      if (!error.empty()) {
        result["error"] = error;
        fail(fmt::format("step {}: {}", name, error));
      }
      std::cout << "step " << name << (error.empty() ? " ok" : " FAILED: " + error) << std::endl;
      report_["steps"].push_back(result);
      writeReport();
      if (!error.empty()) co_return;
    }
  }

  // Runs one step; returns an empty string on success, else what went wrong.
  asio::awaitable<std::string> runStep(const json& step, json& result) {
    const std::string name = step.value("step", "");
    const double timeout = step.value("timeout", options_.stepTimeoutSeconds);
    auto agent = newest_;
    if (!agent || !agent->open) co_return "no agent connected";
    const std::uint16_t comNum = agent->comNum;
    if (name == "comInfo") {
      // The agent answers a system-information request with a message of its own kind.
      const std::string replyKind = std::to_string(comInfoReplyKind);
      const auto before = report_["basicKinds"].value(replyKind, 0);
      co_await sendBasic(E::nullDataClass(E::getComInfo, comNum));
      if (!co_await waitUntil([&] { return report_["basicKinds"].value(replyKind, 0) > before; }, timeout))
        co_return "no system-information reply";
    } else if (name == "screen") {
      const int width = step.value("width", 1280);
      const int height = step.value("height", 720);
      screenRequestedAt_ = Clock::now();
      firstPictureMs_.reset();
      const auto picturesBefore = decoder_.pictures();
      co_await sendBasic(E::screenInfo(E::getScreen, comNum, width, height));
      if (!co_await waitUntil([&] { return decoder_.pictures() > picturesBefore; }, timeout))
        co_return "no picture decoded";
      co_await pause(step.value("seconds", 2.0));
      result["pictureWidth"] = decoder_.width();
      result["pictureHeight"] = decoder_.height();
      if (step.contains("expectWidth") && decoder_.width() != step["expectWidth"].get<int>())
        co_return fmt::format("picture width {} (expected {})", decoder_.width(),
                              step["expectWidth"].get<int>());
      if (step.contains("expectHeight") && decoder_.height() != step["expectHeight"].get<int>())
        co_return fmt::format("picture height {} (expected {})", decoder_.height(),
                              step["expectHeight"].get<int>());
    } else if (name == "screenRequest") {
      // A request whose pictures nobody waits for (a screen the agent may refuse), then a pause.
      co_await sendBasic(
          E::screenInfo(E::getScreen, comNum, step.value("width", 1280), step.value("height", 720)));
      co_await pause(step.value("seconds", 0.0));
    } else if (name == "screenEnd") {
      co_await sendBasic(E::nullDataClass(E::getScreenEnd, comNum));
      co_await pause(step.value("seconds", 0.3));
    } else if (name == "move" || name == "click") {
      const int x = step.value("x", 0);
      const int y = step.value("y", 0);
      co_await write(agent, W::frame(inputCommand, inputPacket(comNum, 1, x, y), agent->timestamp++, comNum));
      if (name == "click") {
        co_await write(agent,
                       W::frame(inputCommand, inputPacket(comNum, 2, x, y), agent->timestamp++, comNum));
        co_await write(agent,
                       W::frame(inputCommand, inputPacket(comNum, 4, x, y), agent->timestamp++, comNum));
      }
      co_await pause(0.05);
    } else if (name == "key") {
      const int code = step.value("code", 0x41);
      co_await write(agent,
                     W::frame(inputCommand, inputPacket(comNum, 5, code, 0), agent->timestamp++, comNum));
      co_await write(agent,
                     W::frame(inputCommand, inputPacket(comNum, 6, code, 0), agent->timestamp++, comNum));
      co_await pause(0.05);
    } else if (name == "sendFile") {
      const std::filesystem::path path = step.at("path").get<std::string>();
      std::ifstream in(path, std::ios::binary);
      if (!in) co_return "cannot read " + path.string();
      const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::string fileName = step.value("name", path.filename().string());
      co_await write(agent,
                     W::frame(fileInfoCommand,
                              fileRecord(comNum, data.size(), fileName, step.at("to").get<std::string>()),
                              agent->timestamp++, comNum));
      for (std::size_t at = 0; at < data.size(); at += W::chunkLimit) {
        const auto count = std::min(W::chunkLimit, data.size() - at);
        co_await write(
            agent, W::frame(fileDataCommand, ByteView(data.data() + at, count), agent->timestamp++, comNum));
      }
      const std::uint8_t done = '1';
      co_await write(agent, W::frame(fileEndCommand, ByteView(&done, 1), agent->timestamp++, comNum));
      report_["filesSent"].push_back(
          {{"name", fileName}, {"bytes", data.size()}, {"sha256", hex(crypto::sha256(data))}});
      co_await pause(0.2);
    } else if (name == "fetchFile") {
      const std::filesystem::path path = step.at("path").get<std::string>();
      const auto before = report_["filesReceived"].size();
      const json command = {{"protocolName", "VantrelMac.SingleFileCommand.v1"},
                            {"command", 4},
                            {"path", path.parent_path().string()},
                            {"remotePath", step.value("remotePath", "C:\\Received")},
                            {"files", json::array({path.string()})}};
      co_await sendBasic(E::string(E::setSingleCommands, comNum, command.dump()));
      if (!co_await waitUntil([&] { return report_["filesReceived"].size() > before; }, timeout))
        co_return "no file arrived from the agent";
      result["file"] = report_["filesReceived"].back();
    } else if (name == "list") {
      lastListing_.reset();
      co_await sendBasic(E::string(E::getSingleFiles, comNum, step.at("path").get<std::string>()));
      if (!co_await waitUntil([&] { return lastListing_.has_value(); }, timeout))
        co_return "no listing arrived";
      const auto listing = json::parse(*lastListing_, nullptr, false);
      if (listing.is_discarded() || !listing.contains("entries"))
        co_return "the listing is not the expected JSON";
      result["path"] = listing.value("path", "");
      result["entries"] = listing["entries"].size();
      report_["listings"].push_back(result);
    } else if (name == "clipboardText") {
      co_await sendBasic(E::string(E::clipboardText, comNum, step.at("text").get<std::string>()));
      co_await pause(0.2);
    } else if (name == "expectClipboardText") {
      const std::string expected = step.at("text").get<std::string>();
      if (!co_await waitUntil(
              [&] {
                for (const auto& t : report_["clipboardReceived"])
                  if (t == expected) return true;
                return false;
              },
              timeout))
        co_return "the agent's clipboard text did not arrive";
    } else if (name == "waitForFile") {
      // A gate another process opens (by creating the file) once it has done its part.
      const std::filesystem::path path = step.at("path").get<std::string>();
      std::cout << "waiting for " << path.string() << std::endl;
      if (!co_await waitUntil([&] { return std::filesystem::exists(path); }, timeout))
        co_return "the file " + path.string() + " did not appear";
    } else if (name == "matchScreen") {
      // The screen as a binary PGM of its luma (BT.601, limited range, as the agent converts it),
      // written by the test or bench once the screen is still; then the last decoded picture must
      // come within minPSNR dB of it.
      const std::filesystem::path path = step.at("path").get<std::string>();
      const double minimum = step.value("minPSNR", 0.0);
      if (!co_await waitUntil([&] { return std::filesystem::exists(path); }, timeout))
        co_return "the screen file " + path.string() + " did not appear";
      const auto screen = testing::readLumaPGM(path);
      if (!screen) co_return "the screen file is not a binary PGM";
      std::optional<double> psnr;
      co_await waitUntil(
          [&] {
            psnr = decoder_.lumaPSNR(screen->luma, screen->width, screen->height);
            return psnr && *psnr >= minimum;
          },
          timeout);
      result["psnr"] = psnr ? *psnr : -1.0;
      result["pictures"] = decoder_.pictures();
      if (!psnr) co_return "no picture of the screen's size";
      if (*psnr < minimum) co_return fmt::format("the last picture is {:.2f} dB from the screen", *psnr);
    } else if (name == "wait") {
      co_await pause(step.value("seconds", 1.0));
    } else {
      co_return "unknown step";
    }
    co_return std::string();
  }

  void fail(const std::string& what) {
    failed_ = true;
    report_["failures"].push_back(what);
  }

  void writeReport() {
    report_["ok"] = !failed_;
    report_["screen"] = {{"frames", screenFrames_},
                         {"bytes", screenBytes_},
                         {"units", screenUnits_},
                         {"pictures", decoder_.pictures()},
                         {"decodeErrors", decoder_.errors()},
                         {"width", decoder_.width()},
                         {"height", decoder_.height()},
                         {"meanLuma", decoder_.lastMeanLuma()},
                         {"lumaSpread", decoder_.lastLumaSpread()}};
    if (firstPictureMs_) report_["screen"]["requestToFirstPictureMs"] = *firstPictureMs_;
    if (!options_.picturePath.empty() && decoder_.pictures() > 0) {
      std::string error;
      if (decoder_.writePNG(options_.picturePath, error))
        report_["screen"]["picture"] = options_.picturePath.string();
    }
    if (!options_.reportPath.empty()) {
      const auto temporary = options_.reportPath.string() + ".tmp";
      std::ofstream(temporary) << report_.dump(2) << "\n";
      std::filesystem::rename(temporary, options_.reportPath);
    }
  }

  const StandInOptions& options_;
  const std::atomic<bool>& stop_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::shared_ptr<Agent> newest_;
  int connections_ = 0;
  bool scriptDone_ = false;
  bool failed_ = false;
  json report_;
  H264PictureDecoder decoder_;
  StreamLog streamLog_{options_.streamLogPath};
  Bytes unit_;
  Bytes basic_;
  long long screenFrames_ = 0;
  long long screenBytes_ = 0;
  long long screenUnits_ = 0;
  long long basicMessages_ = 0;
  std::optional<Clock::time_point> screenRequestedAt_;
  std::optional<double> firstPictureMs_;
  std::optional<IncomingFile> incoming_;
  std::optional<std::string> lastListing_;
};

}  // namespace

int runManagerStandIn(const StandInOptions& options, const std::atomic<bool>& stop) {
  StandIn standIn(options, stop);
  return standIn.run();
}

}  // namespace vantrel::standin
