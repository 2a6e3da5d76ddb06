// vantrel-manager-standin: plays the operator's manager on loopback for the demo and the
// process-level tests. See ManagerStandIn.hpp for what it does.

#include <csignal>
#include <fstream>
#include <iostream>
#include <string>

#include "ManagerStandIn.hpp"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) { stopRequested.store(true); }

int usage() {
  std::cerr
      << "usage: vantrel-manager-standin [--address A] [--port N] [--port-file F]\n"
         "                              (--script F | --steps JSON) [--report F] [--picture F.png]\n"
         "                              [--fetch-dir D] [--serve] [--step-timeout SECONDS] [--reject]\n"
         "                              [--read-rate BYTES_PER_SECOND] [--receive-buffer BYTES] "
         "[--stream-log F]\n"
         "steps: comInfo, screen{width,height,seconds,expectWidth,expectHeight},\n"
         "       screenRequest{width,height,seconds}, screenEnd{seconds},\n"
         "       move{x,y}, click{x,y}, key{code}, sendFile{path,to,name}, fetchFile{path,remotePath},\n"
         "       list{path}, clipboardText{text}, expectClipboardText{text}, waitForFile{path},\n"
         "       matchScreen{path,minPSNR}, wait{seconds}\n";
  return 2;
}

nlohmann::json stepsOf(const nlohmann::json& document) {
  if (document.is_array()) return document;
  if (document.is_object() && document.contains("steps") && document["steps"].is_array())
    return document["steps"];
  throw std::runtime_error("a script is a JSON array of steps or an object with \"steps\"");
}

}  // namespace

int main(int argc, char** argv) {
  vantrel::standin::StandInOptions options;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto next = [&]() -> std::string {
        if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
        return argv[++i];
      };
      if (arg == "--address") {
        options.address = next();
      } else if (arg == "--port") {
        options.port = static_cast<std::uint16_t>(std::stoi(next()));
      } else if (arg == "--port-file") {
        options.portFile = next();
      } else if (arg == "--script") {
        std::ifstream in(next());
        if (!in) throw std::runtime_error("cannot read the script");
        options.script = stepsOf(nlohmann::json::parse(in));
      } else if (arg == "--steps") {
        options.script = stepsOf(nlohmann::json::parse(next()));
      } else if (arg == "--report") {
        options.reportPath = next();
      } else if (arg == "--picture") {
        options.picturePath = next();
      } else if (arg == "--fetch-dir") {
        options.fetchFolder = next();
      } else if (arg == "--serve") {
        options.serve = true;
      } else if (arg == "--step-timeout") {
        options.stepTimeoutSeconds = std::stod(next());
      } else if (arg == "--reject") {
        options.rejectAuthentication = true;
      } else if (arg == "--read-rate") {
        options.readBytesPerSecond = std::stod(next());
      } else if (arg == "--receive-buffer") {
        options.receiveBufferBytes = std::stoi(next());
      } else if (arg == "--stream-log") {
        options.streamLogPath = next();
      } else {
        return usage();
      }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return vantrel::standin::runManagerStandIn(options, stopRequested);
  } catch (const std::exception& error) {
    std::cerr << "vantrel-manager-standin: " << error.what() << "\n";
    return 2;
  }
}
