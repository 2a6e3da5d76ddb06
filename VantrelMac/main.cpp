// The program's entry: decides the run mode from the arguments alone, creates the Qt application
// that mode needs and the main executor over it, starts the mode and runs the event loop.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The project's headers come before Qt's: Qt defines `emit` as a macro, which would break the
// Asio cancellation signal's emit() in the runtime's templates.
#include "Model/Agent/AIDiagnosticsRun.hpp"
#include "Model/Agent/AIDiagnosticsTestSession.hpp"
#include "Model/Agent/RunMode.hpp"
#include "Model/Agent/SessionAgentRuntime.hpp"
#include "Model/Settings/InfoDictionary.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Model/Status/DiagnosticLog.hpp"
#include "Model/Update/MacUpdaterController.hpp"
#include "Platform/Backend/DesktopBackend.hpp"
#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"
#include "Platform/Qt/QtMainExecutor.hpp"
#include "Platform/Update/UpdateFrameworkRelaunch.hpp"
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
  // Emitted on the main thread once the event loop has ended: cancels the diagnostics run.
  asio::cancellation_signal diagnosticsQuit;
};

// How long the main thread waits at quit for the sessions to close and its cancelled tasks to
// end, both together (a session's close is bounded well below this by its transport's own
// time-outs).
constexpr std::chrono::milliseconds shutdownDrainLimit{10000};

// A quit that cannot wait any longer: whatever is still running would be destroyed after what it
// uses, so the process ends as it stands (an installed update still replaces it).
[[noreturn]] void exitWithoutTeardown(int exitCode, const std::string& what) {
  programLog().error("Quit: {} within {} s; exiting without teardown", what,
                     shutdownDrainLimit.count() / 1000);
  update_relaunch::relaunchIfRequested();
  std::fflush(nullptr);
  std::_Exit(exitCode);
}

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

using DiagnosticsRun = decltype(AIDiagnosticsTestSession::Environment::run);

// The diagnostics run, cancelled by `quit` when the program ends before the run does.
Awaitable<void> runUntilQuit(DiagnosticsRun run, asio::cancellation_slot quit, AIDiagnosticsEndpoint endpoint,
                             std::function<void(int)> terminate) {
  auto executor = co_await asio::this_coro::executor;
  auto body = run(std::move(endpoint), std::move(terminate));
  co_await asio::co_spawn(executor, std::move(body), asio::bind_cancellation_slot(quit, asio::use_awaitable));
}

// The QA diagnostics run: the returned session owner must go before the runtime stops.
std::unique_ptr<ai_diagnostics::ApplicationRun> runDiagnosticsTestMode(ProgramContext& program) {
  auto run = std::make_unique<ai_diagnostics::ApplicationRun>(
      program.mainLoop.anyExecutor(), program.runtime.executor(), program.info.bundleIdentifier(),
      [loop = &program.mainLoop](int status) { loop->requestQuit(status); });
  auto environment = run->environment();
  environment.run = [inner = environment.run, quit = program.diagnosticsQuit.slot()](
                        AIDiagnosticsEndpoint endpoint, std::function<void(int)> terminate) {
    return runUntilQuit(inner, quit, std::move(endpoint), std::move(terminate));
  };
  AIDiagnosticsTestSession::start(program.arguments, environment);
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
    // On a Wayland desktop the screen and input go through the compositor's services, and the
    // windows stay on its X server (Xwayland), where their placement, the tray and the notice's
    // place work as on an X11 desktop. The user may still ask for another platform.
    if (DesktopBackend::isWayland() && std::getenv("QT_QPA_PLATFORM") == nullptr) {
      ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    application = std::make_unique<QApplication>(argc, argv);
    // The windows' class (WM_CLASS) is the application's name, whatever the program file is
    // called: the installed application entry names it, so that the desktop ties the windows to
    // the entry and its icon.
    QGuiApplication::setApplicationName(QStringLiteral("VantrelMac"));
    QGuiApplication::setDesktopFileName(QStringLiteral("VantrelMac"));
  } else {
    application = std::make_unique<QCoreApplication>(argc, argv);
  }

  const auto& info = InfoDictionary::main();
  int exitCode = 0;
  {
    // Built in this order, torn down in the reverse: the main loop outlives the runtime that
    // posts to it.
    QtMainLoop mainLoop;
    Runtime runtime(mainLoop.anyExecutor());
    quitOnTerminationSignals(mainLoop);
    ProgramContext program{arguments, info, runtime, mainLoop, nullptr, nullptr, nullptr, nullptr, {}};
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
    const auto quitDeadline = std::chrono::steady_clock::now() + shutdownDrainLimit;
    const auto timeLeft = [&quitDeadline] {
      return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        quitDeadline - std::chrono::steady_clock::now()));
    };
    // The one shutdown order (docs/shutdown.md). 1: the remote work ends while every object of
    // the application still exists: each mode's sessions close, their screen captures stop (the
    // capture threads joined) and their input ends. The session agent and the diagnostics run's
    // owner wait for their one session; the tray application's model closes its sessions in
    // tasks, which the main loop runs until they have ended ...
    if (program.updater) program.updater->applicationWillTerminate();
    cancelAll(program.diagnosticsQuit);
    program.sessionAgent.reset();
    diagnostics.reset();
    if (interactive) {
      interactive->endRemoteWork();
      if (!mainLoop.runUntil([&interactive] { return interactive->remoteWorkEnded(); }, timeLeft()))
        exitWithoutTeardown(exitCode, "the sessions did not close");
    }
    // With the sessions closed, the compositor's remote-desktop session (if one was made) ends
    // now rather than with the bus connection.
    MutterRemoteDesktop::closeShared();
    // ... 2: the application's objects go (the model with its display-sleep hold, the window,
    // the updater) ...
    interactive.reset();
    program.updater.reset();
    // ... 3: the main loop runs the tasks left to their ends while the runtime's threads still
    // run, so that nothing outlives the runtime inside a dropped task ...
    if (!mainLoop.drain(timeLeft())) {
      exitWithoutTeardown(exitCode,
                          std::to_string(mainLoop.trackedWork()) + " task(s) of the main thread did not end");
    }
    // ... 4: the runtime stops and is destroyed, 5: then the main loop.
    runtime.stop();
  }
  // An installed update replaces this process with the new build (same process id) only now,
  // after the teardown; this returns only when none is waiting or the exec failed.
  update_relaunch::relaunchIfRequested();
  return exitCode;
}
