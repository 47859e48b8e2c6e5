#include "download/download_controller.h"

#include <cstdio>
#include <optional>

#include <stdlib.h>

#include "download/handoff.h"
#include "hostenv/location.h"
#include "hostenv/report.h"
#include "platform/file_manager.h"
#include "platform/main_bundle.h"
#include "platform/process_env.h"
#include "platform/system_log.h"
#include "platform/task.h"
#include "provisioning/agent_paths.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"
#include "provisioning/validation_file.h"

using platform::TextColor;

namespace {

std::string downloadingText(double percent) {
  char field[32];
  std::snprintf(field, sizeof field, "%3.0f%%", percent);
  return platform::kDownloadingPrefix + std::string(field);
}

}  // namespace

Download::Download(platform::EventLoop& loop) : loop_(loop), installAgentLocation_(downloadTo) {}

Download::~Download() {
  if (closeTimer_) loop_.cancelCall(closeTimer_);
  if (retryTimer_) loop_.cancelCall(retryTimer_);
}

void Download::retryLater(void (Download::*step)()) {
  retryTimer_ = loop_.callAfter(0.05, [this, step] {
    retryTimer_ = 0;
    (this->*step)();
  });
}

void Download::applicationDidFinishLaunching() {
  // Without a resource directory there is no splash; the download starts all
  // the same, since nothing else would ever end the run.
  if (auto bundle = platform::mainBundle(); bundle && !bundle->resourcePath.empty()) {
    std::string splash = bundle->resourcePath + pathSeparator + "splash.png";
    if (platform::fileExistsAtPath(splash)) {
      window_->setSplashImage(splash, 400.0, 400.0);
      window_->displayIfNeeded();
    }
  }
  downloadFromURL(downloadFrom);
}

void Download::windowWillClose() {
  if (retryTimer_) loop_.cancelCall(retryTimer_);
  retryTimer_ = 0;
  if (theDownload_) theDownload_->cancel();
  loop_.stop();
}

void Download::didReceiveDataOfLength(uint64_t length) {
  bytesReceived_ += static_cast<int64_t>(length);
  if (responseHandled_) showProgress(length);
}

void Download::showProgress(uint64_t length) {
  window_->setTransferred(bytesReceived_, fileLength_);
  if (fileLength_ <= 0) return;  // unknown length: the bar runs indeterminate
  double percent = static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
  window_->setStatusText(downloadingText(percent));
  window_->incrementBy(static_cast<double>(length));
  window_->displayIfNeeded();
}

void Download::failure(const std::string& message, TextColor color) {
  window_->stopAnimation();
  window_->setIndeterminate(false);
  window_->setDoubleValue(window_->maxValue());
  window_->setStatusText(message);
  window_->setStatusColor(color);
}

void Download::didFailWithError(const platform::DownloadError& error) {
  if (retryTimer_) loop_.cancelCall(retryTimer_);
  retryTimer_ = 0;
  platform::systemLog("Download failed! Error - " + error.description + " " + error.failingURL);
  failure("Error during the download process. See your system log for more information.",
          TextColor::Red);
}

void Download::downloadFromURL(const std::string& address) {
  theDownload_ = std::make_unique<platform::HttpDownload>(address, installAgentLocation_,
                                                          /*deletesFileUponFailure=*/true, this,
                                                          timeouts_);
}

void Download::didReceiveResponse(const platform::HttpResponse& response) {
  validationString_ = response.etag.value_or(std::string());
  fileLength_ = response.expectedContentLength;
  handleResponse();
}

// Decides between the cache and the download under the cache's lock; while
// another run holds it the body keeps arriving and the decision waits.
void Download::handleResponse() {
  std::string cacheDir = getInstallAgentCacheDir();
  std::optional<platform::DirectoryLock> lock;
  if (isInstallAgentCachePrivate()) lock.emplace(cacheDir);
  if (lock && lock->busy()) return retryLater(&Download::handleResponse);
  // A cache that others could write, or that cannot be locked, is not used.
  useCache_ = lock && lock->held();
  if (useCache_) {
    std::string onDisk = installAgentDirOnDisk();
    if (!onDisk.empty() && isCacheValid(cacheDir, validationString_)) {
      window_->close();  // cancels this download and stops the loop
      fireInstallAgent();
      return;
    }
    if (!onDisk.empty()) platform::removeItemAtPath(onDisk);
  }

  if (fileLength_ == -1) {
    window_->setIndeterminate(true);
  } else {
    window_->setMaxValue(static_cast<double>(fileLength_));
    window_->setIndeterminate(false);
    window_->setStatusText(downloadingText(0.0));
  }
  window_->startAnimation();
  responseHandled_ = true;
  showProgress(static_cast<uint64_t>(bytesReceived_));  // what arrived while waiting, if anything
  if (finishPending_) downloadDidFinish();
}

void Download::didReceiveAuthenticationChallenge() {
  // No credentials to offer: the download fails and says so.
}

void Download::waitForInstallAgentToStart() { window_->close(); }

void Download::downloadDidFinish() {
  if (!responseHandled_) {
    finishPending_ = true;
    return;
  }
  window_->setStatusText("Initializing the installer");
  window_->setIndeterminate(true);
  window_->startAnimation();
  window_->setCancelEnabled(false);
  window_->displayIfNeeded();

  if (!useCache_) {
    archiveLeftForCaller_ = true;
    loop_.stop();
    return;
  }
  std::string cacheDir = getInstallAgentCacheDir();
  platform::DirectoryLock lock(cacheDir);
  if (lock.busy()) return retryLater(&Download::downloadDidFinish);
  if (!lock.held() || !installDownloadedAgent(installAgentLocation_, cacheDir)) {
    failure("Failed to unzip the installer.", TextColor::Red);
    return;
  }
  closeTimer_ = loop_.callAfter(3.0, [this] {
    closeTimer_ = 0;
    waitForInstallAgentToStart();
  });
  fireInstallAgent();
  loop_.stop();
}

// Unpacks beside the agent directory and moves the result into place only
// when it is complete, then records the tag: a failed or interrupted unpack
// never leaves an agent that a later run would trust.
bool Download::installDownloadedAgent(const std::string& archive, const std::string& cacheDir) {
  std::string agentDir = cacheDir + installAgentDirName;
  const std::string stagingPrefix = installAgentDirName + ".new-";
  // What a run killed while unpacking left behind; nobody unpacks now, we hold the lock.
  for (const std::string& name : platform::directoryEntries(cacheDir))
    if (name.compare(0, stagingPrefix.size(), stagingPrefix) == 0) platform::removeItemAtPath(cacheDir + name);
  std::string staging = cacheDir + stagingPrefix + "XXXXXX";
  if (!mkdtemp(staging.data())) return false;
  bool complete = unzipInstallAgent(archive, staging, "unzip", report_error_main) &&
                  platform::fileExistsAtPath(getInstallAgentExecutable(staging));
  // Without a temporary directory the archive lies beside the bundle, in the
  // user's own folder: it has served its purpose either way.
  std::remove(archive.c_str());
  if (complete) {
    platform::removeItemAtPath(agentDir);
    removeValidationString(cacheDir);
    complete = std::rename(staging.c_str(), agentDir.c_str()) == 0;
  }
  if (!complete) {
    platform::removeItemAtPath(staging);
    return false;
  }
  writeValidationString(cacheDir, validationString_);
  return true;
}

bool Download::fireInstallAgent() {
  installAgentLocation_ = installAgentDirOnDisk();
  if (!installAgentLocation_.empty()) {
    std::vector<std::string> arguments = {getInstallAgentExecutable(installAgentLocation_),
                                          "-installbundle",
                                          getBundleLocation() + pathSeparator + "bundle.zip"};
    const auto& own = platform::processArguments();
    if (own.size() >= 2) arguments.insert(arguments.end(), own.begin() + 1, own.end());
    agentStarted_ = platform::launchDetached("/bin/sh", arguments);
  }
  if (!agentStarted_) report_error_main("Failed to start the instal agent", true);
  return agentStarted_;
}
