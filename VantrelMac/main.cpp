// The program's entry: decides the run mode from the arguments alone, creates the Qt application
// that mode needs and the main executor over it, starts the mode and runs the event loop.

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The project's headers come before Qt's: Qt defines `emit` as a macro, which would break the
// Asio cancellation signal's emit() in the runtime's templates.
#include "Model/AIDiagnosticsTestSession.hpp"
#include "Model/DiagnosticLog.hpp"
#include "Model/InfoDictionary.hpp"
#include "Model/RunMode.hpp"
#include "Model/UserDefaults.hpp"
#include "Platform/QtMainExecutor.hpp"
#include "Platform/UpdateFrameworkRelaunch.hpp"
#include "Support/Async.hpp"
#include "Support/SystemLog.hpp"
#include "UI/UpdateApplication.hpp"

#include <QApplication>
#include <QCoreApplication>

namespace {

using namespace vantrel;

// What every run mode is given. The tray application also gets the standard settings store and
// the diagnostics log's writer (both named after the bundle identifier); they outlive the loop.
struct ProgramContext {
  std::vector<std::string> arguments;
  const InfoDictionary& info;
  Runtime& runtime;
  QtMainLoop& mainLoop;
  UserDefaults* standardDefaults = nullptr;
  std::shared_ptr<DiagnosticLogWriter> diagnosticLogWriter;
  std::shared_ptr<MacUpdaterController> updater;
};

// The windowless session agent. Its runtime plugs in here; until then the mode only keeps the
// event loop (and so the process) running.
void runSessionAgentMode(ProgramContext& program) { (void)program; }

// The tray application. The window controller plugs in here: it builds the status window and
// its model before the event loop starts. The updater starts after it, then the resume record
// of an update relaunch is consumed.
void runInteractiveMode(ProgramContext& program) {
  // A tray program: closing its last window (an update dialog, the status window) never ends it.
  QApplication::setQuitOnLastWindowClosed(false);
  ApplicationUpdaterHooks hooks;
  hooks.mainExecutor = program.mainLoop.anyExecutor();
  hooks.info = program.info;
  hooks.defaults = program.standardDefaults;
  hooks.requestQuit = [loop = &program.mainLoop] { loop->requestQuit(0); };
  program.updater = makeApplicationUpdater(std::move(hooks));
  program.updater->start();
  program.updater->consumeUpdateResume();
}

// The QA diagnostics run itself belongs to the development channel; until it exists the mode
// says so and ends.
Awaitable<void> unavailableDiagnosticsRun(AIDiagnosticsEndpoint endpoint, std::function<void()> terminate) {
  programLog().error("AI_DIAGNOSTICS run against {}:{} is not available in this build", endpoint.host,
                     endpoint.port);
  if (terminate) terminate();
  co_return;
}

void runDiagnosticsTestMode(ProgramContext& program) {
  AIDiagnosticsTestSession::Environment environment{program.mainLoop.anyExecutor(),
                                                    [loop = &program.mainLoop] { loop->requestQuit(0); },
                                                    unavailableDiagnosticsRun};
  AIDiagnosticsTestSession::start(program.arguments, environment);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vantrel;
  SystemLog::enableSyslog("VantrelMac");
  update_relaunch::rememberArguments(argc, argv);
  const auto arguments = argumentVector(argc, argv);
  const auto mode = decideRunMode(arguments);

  // Only the tray application talks to the display; the other modes must start without one.
  std::unique_ptr<QCoreApplication> application;
  if (needsWidgets(mode)) {
    application = std::make_unique<QApplication>(argc, argv);
  } else {
    application = std::make_unique<QCoreApplication>(argc, argv);
  }

  const auto& info = InfoDictionary::main();
  Runtime runtime;
  int exitCode = 0;
  {
    QtMainLoop mainLoop(runtime.context());
    quitOnTerminationSignals(mainLoop);
    ProgramContext program{arguments, info, runtime, mainLoop, nullptr, nullptr, nullptr};
    std::optional<JSONFileUserDefaults> standardDefaults;
    if (mode == RunMode::interactive) {
      standardDefaults.emplace(info.bundleIdentifier());
      program.standardDefaults = &*standardDefaults;
      program.diagnosticLogWriter = std::make_shared<DiagnosticLogWriter>(
          DiagnosticLogWriter::defaultFile(info.string(InfoDictionary::bundleIdentifierKey)));
    }
    switch (mode) {
      case RunMode::diagnosticsTest: runDiagnosticsTestMode(program); break;
      case RunMode::sessionAgent:
        programLog().notice("{}", mainStartedLogLine(arguments));
        runSessionAgentMode(program);
        break;
      case RunMode::interactive:
        programLog().notice("{}", mainStartedLogLine(arguments));
        runInteractiveMode(program);
        break;
    }
    exitCode = QCoreApplication::exec();
    if (program.updater) program.updater->applicationWillTerminate();
    // Work still running on the runtime may post to the main loop until the runtime stops.
    runtime.stop();
  }
  // An installed update replaces this process with the new build (same process id); returns
  // only when none is waiting or the exec failed.
  update_relaunch::relaunchIfRequested();
  return exitCode;
}
