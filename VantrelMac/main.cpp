// The program's entry: decides the run mode from the arguments alone, creates the Qt application
// that mode needs and the main executor over it, starts the mode and runs the event loop.

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The project's headers come before Qt's: Qt defines `emit` as a macro, which would break the
// Asio cancellation signal's emit() in the runtime's templates.
#include "Model/AIDiagnosticsRun.hpp"
#include "Model/AIDiagnosticsTestSession.hpp"
#include "Model/DiagnosticLog.hpp"
#include "Model/InfoDictionary.hpp"
#include "Model/MacUpdaterController.hpp"
#include "Model/RunMode.hpp"
#include "Model/SessionAgentRuntime.hpp"
#include "Model/UserDefaults.hpp"
#include "Platform/QtMainExecutor.hpp"
#include "Platform/UpdateFrameworkRelaunch.hpp"
#include "Support/Async.hpp"
#include "Support/SystemLog.hpp"
#include "UI/InteractiveApplication.hpp"

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
  std::shared_ptr<JSONFileUserDefaults> standardDefaults;
  std::shared_ptr<DiagnosticLogWriter> diagnosticLogWriter;
  std::shared_ptr<MacUpdaterController> updater;
  std::unique_ptr<SessionAgentRuntime> sessionAgent;
};

// The windowless session agent: its loop runs on threads of its own until the program quits.
void runSessionAgentMode(ProgramContext& program) {
  program.sessionAgent = std::make_unique<SessionAgentRuntime>();
  program.sessionAgent->start();
}

// The tray application: the status window and its model are built before the event loop starts.
// Null when another instance took this launch over; the program then ends at once.
std::unique_ptr<InteractiveApplication> runInteractiveMode(ProgramContext& program) {
  auto application = InteractiveApplication::start(
      {program.arguments, program.info, program.mainLoop.anyExecutor(), program.runtime.executor(),
       program.standardDefaults.get(), program.diagnosticLogWriter,
       [loop = &program.mainLoop] { loop->requestQuit(0); }});
  if (!application) {
    program.mainLoop.requestQuit(0);
    return application;
  }
  // The application's launch callback starts the updater after the window is shown; main() only
  // tells it when the loop has ended.
  program.updater = application->updater();
  return application;
}

// The QA diagnostics run: the returned session owner must go before the runtime stops.
std::unique_ptr<ai_diagnostics::ApplicationRun> runDiagnosticsTestMode(ProgramContext& program) {
  auto run = std::make_unique<ai_diagnostics::ApplicationRun>(
      program.mainLoop.anyExecutor(), program.runtime.executor(), program.info.bundleIdentifier(),
      [loop = &program.mainLoop](int status) { loop->requestQuit(status); });
  AIDiagnosticsTestSession::start(program.arguments, run->environment());
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vantrel;
  SystemLog::enableSyslog("VantrelMac");
  const auto arguments = argumentVector(argc, argv);
  // An update relaunch starts the new build with exactly these arguments.
  update_relaunch::rememberArguments(argc, argv);
  const auto mode = decideRunMode(arguments);

  // Only the tray application talks to the display; the other modes must start without one.
  std::unique_ptr<QCoreApplication> application;
  if (needsWidgets(mode)) {
    application = std::make_unique<QApplication>(argc, argv);
  } else {
    application = std::make_unique<QCoreApplication>(argc, argv);
  }

  const auto& info = InfoDictionary::main();
  int exitCode = 0;
  {
    // The main loop outlives the runtime that posts to it.
    QtMainLoop mainLoop;
    Runtime runtime(mainLoop.anyExecutor());
    quitOnTerminationSignals(mainLoop);
    ProgramContext program{arguments, info, runtime, mainLoop, nullptr, nullptr, nullptr, nullptr};
    if (mode == RunMode::interactive) {
      program.standardDefaults = JSONFileUserDefaults::standard(info.bundleIdentifier());
      program.diagnosticLogWriter = std::make_shared<DiagnosticLogWriter>(
          DiagnosticLogWriter::defaultFile(info.string(InfoDictionary::bundleIdentifierKey)));
    }
    std::unique_ptr<InteractiveApplication> interactive;
    std::unique_ptr<ai_diagnostics::ApplicationRun> diagnostics;
    switch (mode) {
      case RunMode::diagnosticsTest: diagnostics = runDiagnosticsTestMode(program); break;
      case RunMode::sessionAgent:
        programLog().notice("{}", mainStartedLogLine(arguments));
        runSessionAgentMode(program);
        break;
      case RunMode::interactive:
        programLog().notice("{}", mainStartedLogLine(arguments));
        interactive = runInteractiveMode(program);
        break;
    }
    exitCode = QCoreApplication::exec();
    if (program.updater) program.updater->applicationWillTerminate();
    program.sessionAgent.reset();
    interactive.reset();
    diagnostics.reset();
    // What runs on the runtime ends while its threads still run (the window controller and the
    // session agent stop their sessions here); then the runtime stops, then the main loop goes.
    runtime.stop();
  }
  // An installed update replaces this process with the new build (same process id); this returns
  // only when none is waiting or the exec failed.
  update_relaunch::relaunchIfRequested();
  return exitCode;
}
