#include "download/download_controller.h"

#include <fcntl.h>

#include <cmath>

#include "download/handoff.h"
#include "hostenv/location.h"
#include "launch/agent_launch.h"
#include "platform/file_manager.h"
#include "platform/main_bundle.h"
#include "platform/quantities.h"
#include "platform/system_log.h"
#include "platform/task.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_trust.h"
#include "provisioning/build_constants.h"

using window::Message;
using window::TextColor;
using Id = window::Message::Id;

namespace {

// Another run holds the cache: look again this soon.
constexpr double kCacheRetrySeconds = 0.05;
// After the agent starts, the window shows "Initializing the installer" this
// long at most, looking this often whether the agent has exited already.
constexpr double kInitializingSeconds = 3.0;
constexpr double kAgentPollSeconds = 0.05;

Message downloading(double percent) { return {Id::Downloading, {std::llround(percent)}}; }

}  // namespace

Download::Download(platform::EventLoop& loop, AgentCache& cache, ErrorCallback callback,
                   std::vector<std::string> userArguments)
    : loop_(loop), callback_(callback), userArguments_(std::move(userArguments)), cache_(cache) {}

Download::~Download() { cancelTimer(); }

void Download::after(double seconds, void (Download::*step)()) {
  cancelTimer();
  timer_ = loop_.callAfter(seconds, [this, step] {
    timer_ = 0;
    (this->*step)();
  });
}

void Download::cancelTimer() {
  if (timer_) loop_.cancelCall(timer_);
  timer_ = 0;
}

HandOffResult Download::result() const {
  if (state_ == State::AgentStarted) return {HandOffResult::Kind::AgentStarted, *agent_};
  if (state_ == State::ArchiveLeft) return {HandOffResult::Kind::ArchiveLeft, -1, leftArchive_};
  return {};
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
  cancelTimer();
  if (download_) download_->cancel();
  loop_.stop();
}

void Download::downloadFromURL(const std::string& address) {
  AgentDownload::Listener& listener = *this;
  std::vector<std::string> addresses{address};
  addresses.insert(addresses.end(), downloadMirrors.begin(), downloadMirrors.end());
  download_ = std::make_unique<AgentDownload>(loop_, cache_, listener, callback_, addresses, downloadTo);
}

void Download::downloadProgressed(const AgentDownload::Progress& progress) {
  using Phase = AgentDownload::Phase;
  if (progress.phase == Phase::Waiting)
    window_->setDetailText({Id::RetryingIn, {static_cast<int64_t>(std::ceil(progress.retryInSeconds))}});
  if (progress.anotherHost) window_->setDetailText({Id::TryingAnotherServer});
  if (progress.phase == Phase::Receiving) {
    // Each response that brings a body sets the bar up anew.
    if (shownPhase_ != Phase::Receiving) beginBar(progress.transfer);
    const window::Progress& t = progress.transfer;
    window_->setTransferred(t);
    if (t.total > 0) {  // an unknown length runs indeterminate
      window_->setStatusText(downloading(static_cast<double>(t.received) * 100.0 / static_cast<double>(t.total)));
      window_->incrementBy(static_cast<double>(t.received - shownBytes_));
      window_->displayIfNeeded();
    }
    shownBytes_ = t.received;
  }
  shownPhase_ = progress.phase;
}

void Download::beginBar(const window::Progress& transfer) {
  if (transfer.total == -1) {
    window_->setIndeterminate(true);
  } else {
    window_->setMaxValue(static_cast<double>(transfer.total));
    window_->setIndeterminate(false);
    window_->setStatusText(downloading(0.0));
  }
  window_->startAnimation();
  // What arrived before: in earlier attempts, or while the decision waited.
  window_->setDoubleValue(static_cast<double>(transfer.received));
  shownBytes_ = transfer.received;
}

// The one branch on how the download ended.
void Download::downloadEnded(const AgentDownload::Outcome& outcome) {
  outcome_ = outcome;
  switch (outcome.kind) {
    case AgentDownload::Outcome::Kind::CachedAgentCurrent:
      window_->close();  // stops the loop
      fireInstallAgent(vouchedAgent());
      cache_.unlock();
      return;
    case AgentDownload::Outcome::Kind::ArchiveVerified:
      return downloadDidFinish();
    case AgentDownload::Outcome::Kind::Failed:
      return fallBackOrFail();
  }
}

void Download::failure(const Message& message, TextColor color) {
  window_->stopAnimation();
  // The bar stays where the transfer stopped: a failure is no finished download.
  window_->setIndeterminate(false);
  window_->setStatusText(message);
  window_->setStatusColor(color);
}

// The window keeps a failure until the user closes it; without one to wait
// for, the run ends here.
void Download::showFailure(const Message& message) {
  cancelTimer();
  window_->setDetailText({});  // a "Retrying..." note is over
  failure(message, TextColor::Red);
  if (!window_->waitsForUser()) after(0, &Download::waitForInstallAgentToStart);
}

void Download::didFailWithError(const Message& reason) {
  platform::systemLog("Download failed! Error - " + window::english(reason) + " " + download_->address());
  showFailure({Id::DownloadFailed});
  window_->setDetailText(reason);  // the cause, in the log line's words
}

// No new agent: in a build with keys the installed one runs instead, as long
// as the gate still vouches for it; else the run fails and says why.
void Download::fallBackOrFail() {
  cancelTimer();
  AgentCache::LockState lock =
      signaturesRequired() && cache_.usable() ? cache_.lock() : AgentCache::LockState::Unavailable;
  if (lock == AgentCache::LockState::Busy) return after(kCacheRetrySeconds, &Download::fallBackOrFail);
  if (lock == AgentCache::LockState::Held && !cache_.vouchedAgent().empty()) return startInstalledAgent();
  if (lock == AgentCache::LockState::Held) cache_.unlock();
  switch (outcome_.setback) {
    case AgentDownload::Setback::Download:
      return didFailWithError(outcome_.why);
    case AgentDownload::Setback::Unpack:
      return showFailure({Id::UnzipFailed});
    case AgentDownload::Setback::NoUnzip:
      callback_("Failed to initialize the install agent.", true);
      return showFailure(outcome_.why);
  }
}

// Says which agent runs and why no newer one, then starts it as a cache hit
// would. Holds the lock.
void Download::startInstalledAgent() {
  if (outcome_.refusing) cache_.recordRefusal(*outcome_.refusing);
  std::optional<int64_t> signedAt = cache_.installedSignedAt();
  std::string line = "Using the installed agent" + (signedAt ? " (signed " + signedDate(*signedAt) + ")" : "") +
                     ": " + window::english(outcome_.why);
  platform::systemLog(line);  // and standard error
  window_->setDetailText({});
  showInitializing();
  startCachedAgent();
}

// The window stays, live, while the agent gets going, then closes; the agent
// is not reaped here, since the run waits for it afterwards.
void Download::waitForInstallAgentToStart() {
  if (state_ == State::AgentStarted && window_->waitsForUser() && !platform::hasEnded(*agent_) &&
      platform::monotonicSeconds() < agentStartedAt_ + kInitializingSeconds)
    return after(kAgentPollSeconds, &Download::waitForInstallAgentToStart);
  window_->close();
}

void Download::downloadDidFinish() {
  download_->finish();  // unpacking is not the server's time
  showInitializing();
  installIntoCache();
}

void Download::showInitializing() {
  window_->setStatusText({Id::Initializing});
  window_->setIndeterminate(true);
  window_->startAnimation();
  window_->setCancelEnabled(false);
  window_->displayIfNeeded();
}

void Download::installIntoCache() {
  AgentCache::LockState lock = cache_.usable() ? cache_.lock() : AgentCache::LockState::Unavailable;
  if (lock == AgentCache::LockState::Busy) return after(kCacheRetrySeconds, &Download::installIntoCache);
  ArchiveInTransit& archive = *outcome_.archive;
  if (lock == AgentCache::LockState::Unavailable) {
    // The cache cannot be used: the command-line road unpacks the archive
    // into the run's private directory and starts it from there.
    leftArchive_ = fcntl(archive.fd(), F_DUPFD_CLOEXEC, 0);
    state_ = State::ArchiveLeft;
    loop_.stop();
    return;
  }
  platform::Result<std::string, AgentCache::Code> installed = cache_.install(archive.fd(), callback_);
  if (!installed) {
    cache_.unlock();
    // Only what the archive itself lacks would fail again; a full disk may not.
    if (installed.code() == AgentCache::Code::NoInstallScript && !outcome_.tag.empty())
      outcome_.refusing = AgentCache::Refusal{outcome_.tag, installed.message(), outcome_.signature};
    outcome_.kind = AgentDownload::Outcome::Kind::Failed;
    outcome_.setback = AgentDownload::Setback::Unpack;
    outcome_.why = Message::text(installed.message());
    return fallBackOrFail();
  }
  // The agent this run verified starts at once; writing it to disk for
  // later runs, and recording it, is done while it gets going.
  bool started = fireInstallAgent(*installed);
  platform::Status<AgentCache::Code> kept =
      cache_.keep(outcome_.tag, outcome_.source, outcome_.signature, archive.digest());
  if (!kept) platform::systemLog("The install agent is not kept for later runs: " + kept.message());
  agentGettingGoing(started);
}

void Download::startCachedAgent() { agentGettingGoing(fireInstallAgent(vouchedAgent())); }

// The agent the cache vouches for under the lock held now.
std::string Download::vouchedAgent() const { return cache_.usable() ? cache_.vouchedAgent() : std::string(); }

// The lock is held until here; the window stays, live, while the agent gets going.
void Download::agentGettingGoing(bool started) {
  cache_.unlock();
  if (!started) return loop_.stop();
  agentStartedAt_ = platform::monotonicSeconds();
  waitForInstallAgentToStart();
}

bool Download::fireInstallAgent(const std::string& location) {
  if (!location.empty())
    agent_ = startInstallAgent(getInstallAgentExecutable(location), getBundleLocation(), userArguments_);
  if (!agent_) {
    callback_("Failed to start the instal agent", true);
    return false;
  }
  state_ = State::AgentStarted;
  return true;
}
