#include "support/FakeUpdater.hpp"

#include <stdexcept>

namespace vantrel::testing {

namespace {
const char* yesNo(bool value) { return value ? "YES" : "NO"; }
}  // namespace

void FakeUpdater::setAutomaticallyDownloadsUpdates(bool value) {
  calls.push_back(std::string("setAutomaticallyDownloadsUpdates ") + yesNo(value));
}

void FakeUpdater::setSendsSystemProfile(bool value) {
  calls.push_back(std::string("setSendsSystemProfile ") + yesNo(value));
}

std::optional<UpdaterError> FakeUpdater::startUpdater() {
  calls.emplace_back("start");
  return startError;
}

void FakeUpdater::setAutomaticallyChecksForUpdates(bool value) {
  calls.push_back(std::string("setAutomaticallyChecksForUpdates ") + yesNo(value));
  if (acceptsAutomaticChecks) automaticChecks = value;
}

void FakeUpdater::checkForUpdates() {
  calls.emplace_back("check");
  ++checks;
}

void FakeUpdater::applicationWillTerminate() {
  calls.emplace_back("terminate");
  ++terminations;
}

AppcastItem FakeUpdater::item(const std::string& build, const std::string& url) {
  AppcastItem item;
  item.versionString = build;
  item.displayVersionString = "1." + build;
  item.fileURL = url;
  return item;
}

std::shared_ptr<UpdaterDelegate> FakeUpdater::delegate() const {
  auto strong = delegate_.lock();
  if (!strong) throw std::logic_error("the fake updater has no delegate");
  return strong;
}

std::optional<UpdaterError> FakeUpdater::proceed(const AppcastItem& item, UpdateCheck check) {
  return delegate()->shouldProceedWithUpdate(item, check);
}

void FakeUpdater::emitFound(const AppcastItem& item) { delegate()->didFindValidUpdate(item); }

void FakeUpdater::emitWillDownload(const AppcastItem& item) { delegate()->willDownloadUpdate(item); }

void FakeUpdater::emitDownloadAndExtract(const AppcastItem& item) {
  const auto d = delegate();
  d->willDownloadUpdate(item);
  d->willExtractUpdate(item);
  d->didExtractUpdate(item);
}

InstallBlock FakeUpdater::makeBlock(const AppcastItem& item) {
  return InstallBlock([this, build = item.versionString] {
    ++installs;
    installedBuilds.push_back(build);
  });
}

bool FakeUpdater::emitPostpone(const AppcastItem& item) {
  return delegate()->shouldPostponeRelaunch(item, makeBlock(item));
}

bool FakeUpdater::emitInstallOnQuit(const AppcastItem& item) {
  return delegate()->willInstallUpdateOnQuit(item, makeBlock(item));
}

void FakeUpdater::emitAbort(const UpdaterError& error) { delegate()->didAbortWithError(error); }

void FakeUpdater::emitFinish(UpdateCheck check, const std::optional<UpdaterError>& error) {
  delegate()->didFinishUpdateCycle(check, error);
}

std::optional<std::string> FakeUpdater::feedURL() { return delegate()->feedURLString(); }

}  // namespace vantrel::testing
