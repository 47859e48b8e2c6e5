#include "download/download_controller.h"

#include <cmath>
#include <cstring>

#include "download/handoff.h"
#include "download/transfer_policy.h"
#include "hostenv/location.h"
#include "launch/agent_launch.h"
#include "platform/file_manager.h"
#include "platform/main_bundle.h"
#include "platform/process_env.h"
#include "platform/quantities.h"
#include "platform/system_log.h"
#include "platform/task.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_trust.h"
#include "provisioning/archive_extraction.h"
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

// The gate words most refusals "bad signature: <why>": the window translates those first words.
Message refusalMessage(const GateStatus& refused) {
  switch (refused.code()) {
    case GateCode::BadSignature:
    case GateCode::UnknownKey:
    case GateCode::SignatureMismatch:
    case GateCode::BelowBuildFloor:
      return {Id::BadSignature, {}, refused.message().substr(std::strlen(kBadSignature))};
    default:
      return Message::text(refused.message());
  }
}

}  // namespace

Download::Download(platform::EventLoop& loop, ErrorCallback callback)
    : loop_(loop), callback_(callback), installAgentLocation_(downloadTo) {
  transfer_.hashBody = signaturesRequired();
}

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
  if (state_ == State::ArchiveLeft) return {HandOffResult::Kind::ArchiveLeft};
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
  if (theDownload_) theDownload_->cancel();
  if (state_ != State::AgentStarted && state_ != State::ArchiveLeft) state_ = State::Closed;
  loop_.stop();
}

void Download::didReceiveDataOfLength(uint64_t length) {
  bytesReceived_ += static_cast<int64_t>(length);
  if (state_ == State::Receiving) showProgress(length);
}

void Download::showProgress(uint64_t length) {
  rate_.add(bytesReceived_, platform::monotonicSeconds());
  window_->setTransferred({bytesReceived_, fileLength_, rate_.bytesPerSecond(),
                           estimateTimeLeft(bytesReceived_, fileLength_, rate_)});
  if (fileLength_ <= 0) return;  // unknown length: the bar runs indeterminate
  double percent = static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
  window_->setStatusText(downloading(percent));
  window_->incrementBy(static_cast<double>(length));
  window_->displayIfNeeded();
}

void Download::failure(const Message& message, TextColor color) {
  window_->stopAnimation();
  window_->setIndeterminate(false);
  window_->setDoubleValue(window_->maxValue());
  window_->setStatusText(message);
  window_->setStatusColor(color);
}

// The window keeps a failure until the user closes it; without one to wait
// for, the run ends here.
void Download::showFailure(const Message& message) {
  cancelTimer();
  state_ = State::Failed;
  window_->setDetailText({});  // a "Retrying..." note is over
  failure(message, TextColor::Red);
  if (!window_->waitsForUser()) after(0, &Download::waitForInstallAgentToStart);
}

void Download::didFailWithError(const Message& reason) {
  platform::systemLog("Download failed! Error - " + window::english(reason) + " " + theDownload_->address());
  showFailure({Id::DownloadFailed});
  window_->setDetailText(reason);  // the cause, in the log line's words
}

void Download::setBack(Setback kind, const Message& why) {
  cancelTimer();
  if (theDownload_) theDownload_->cancel();  // its deadline and signature too: nothing more comes of it
  state_ = State::Failed;
  setback_ = kind;
  setbackWhy_ = why;
  fallBackOrFail();
}

// No new agent: in a build with keys the installed one runs instead, as long
// as the gate still vouches for it; else the run fails and says why.
void Download::fallBackOrFail() {
  AgentCache::LockState lock =
      signaturesRequired() && cache_.usable() ? cache_.lock() : AgentCache::LockState::Unavailable;
  if (lock == AgentCache::LockState::Busy) return after(kCacheRetrySeconds, &Download::fallBackOrFail);
  if (lock == AgentCache::LockState::Held && !cache_.vouchedAgent().empty()) return startInstalledAgent();
  if (lock == AgentCache::LockState::Held) cache_.unlock();
  switch (setback_) {
    case Setback::Download:
      return didFailWithError(setbackWhy_);
    case Setback::Unpack:
      return showFailure({Id::UnzipFailed});
    case Setback::NoUnzip:
      callback_("Failed to initialize the install agent.", true);
      return showFailure(setbackWhy_);
  }
}

// Says which agent runs and why no newer one, then starts it as a cache hit
// would. Holds the lock.
void Download::startInstalledAgent() {
  if (refusing_) cache_.recordRefusal(*refusing_);
  std::optional<int64_t> signedAt = cache_.installedSignedAt();
  std::string line = "Using the installed agent" + (signedAt ? " (signed " + signedDate(*signedAt) + ")" : "") +
                     ": " + window::english(setbackWhy_);
  platform::systemLog(line);  // and standard error
  window_->setDetailText({});
  showInitializing();
  startCachedAgent();
}

void Download::downloadFromURL(const std::string& address) {
  std::optional<std::string> cachedTag = cache_.usable() ? cache_.recordedTag() : std::nullopt;
  // A refusal matters only while a vouched agent is there to fall back to;
  // its tag goes along, so that a server still offering that archive says so
  // in a 304.
  refusal_ = signaturesRequired() && cachedTag ? cache_.refusal() : std::nullopt;
  if (refusal_ && refusal_->tag != *cachedTag) cachedTag = *cachedTag + ", " + refusal_->tag;
  state_ = State::Requesting;
  ArchiveFetch::Client& client = *this;
  theDownload_ = std::make_unique<ArchiveFetch>(loop_, client, address, installAgentLocation_, cachedTag, transfer_);
}

bool Download::fetchResponded(const network::HttpResponse& response) { return didReceiveResponse(response); }

void Download::fetchFailed(const Message& why) { setBack(Setback::Download, why); }

void Download::fetchReceived(uint64_t length) { didReceiveDataOfLength(length); }

void Download::fetchRetrying(double seconds) {
  window_->setDetailText({Id::RetryingIn, {static_cast<int64_t>(std::ceil(seconds))}});
  state_ = State::Waiting;
}

bool Download::didReceiveResponse(const network::HttpResponse& response) {
  if (response.status == 304) {
    // Nothing new: the tag is the one the 304 carries, or the one we sent.
    validationString_ = response.etag.value_or(cache_.recordedTag().value_or(std::string()));
    return false;  // the transfer ends as not modified, and the cache is looked at then
  }
  if (!takesBody(response)) {
    if (isAuthenticationChallenge(response)) didReceiveAuthenticationChallenge();
    return false;  // the transfer ends, and says why
  }
  validationString_ = response.etag.value_or(std::string());
  // A resumed body goes on where the bar stopped; a whole one starts it over.
  bytesReceived_ = static_cast<int64_t>(theDownload_->archive().size());
  fileLength_ = theDownload_->archive().total();
  decideOnCache();
  return state_ == State::AwaitingCache || state_ == State::Receiving;
}

// Decides between the cache and the download under the cache's lock; while
// another run holds it the body keeps arriving and the decision waits.
void Download::decideOnCache() {
  AgentCache::LockState lock = cache_.usable() ? cache_.lock() : AgentCache::LockState::Unavailable;
  if (lock == AgentCache::LockState::Busy) {
    state_ = State::AwaitingCache;
    return after(kCacheRetrySeconds, &Download::decideOnCache);
  }
  // A cache that others could write, or that cannot be locked, is not used.
  state_ = State::Receiving;
  if (lock == AgentCache::LockState::Held && cache_.holdsAgentTagged(validationString_)) {
    window_->close();  // cancels this download and stops the loop
    fireInstallAgent();
    cache_.unlock();
    return;
  }
  // The old agent stays until a new one has been verified and swapped in.
  if (lock == AgentCache::LockState::Held) cache_.unlock();
  if (refusal_ && validationString_ == refusal_->tag) {
    // The archive refused before, by its tag (in a 304, or a 200 from a
    // server that ignores the condition): its body is not wanted, and the
    // signature's fetch is still bounded by the deadline.
    theDownload_->stopTransfer();
    return recheckRefusal();
  }
  if (theDownload_->ended() == network::TransferEnd::NotModified) {
    // The cache changed since the request was made: ask for the whole archive.
    state_ = State::Requesting;
    return theDownload_->askForWholeArchive();
  }
  // Only now is something to be unpacked.
  if (UnzipStatus unzip = unzipInstalled(); !unzip) {
    callback_(unzip.message(), true);
    return setBack(Setback::NoUnzip, Message::text(unzip.message()));
  }

  if (fileLength_ == -1) {
    window_->setIndeterminate(true);
  } else {
    window_->setMaxValue(static_cast<double>(fileLength_));
    window_->setIndeterminate(false);
    window_->setStatusText(downloading(0.0));
  }
  window_->startAnimation();
  // What arrived before: in earlier attempts, or while the decision waited.
  window_->setDoubleValue(static_cast<double>(bytesReceived_));
  showProgress(0);
  if (theDownload_->ended() == network::TransferEnd::Finished) archiveArrived();
}

void Download::fetchEnded(network::TransferEnd how) {
  if (how == network::TransferEnd::NotModified) return decideOnCache();
  if (state_ != State::AwaitingCache) archiveArrived();  // else the decision goes on with it
}

// In a build with keys, nothing goes further before the gate has passed it.
void Download::archiveArrived() {
  if (!signaturesRequired()) return downloadDidFinish();
  state_ = State::Verifying;
  theDownload_->fetchSignature(
      [this](const std::optional<std::string>& text, const Message& whyNot, long) { signatureArrived(text, whyNot); });
}

// The server still offers the archive refused before: unless its signature
// changed, it would be refused again, so its body is not fetched.
void Download::recheckRefusal() {
  state_ = State::Verifying;
  theDownload_->fetchSignature([this](const std::optional<std::string>& text, const Message& whyNot, long) {
    if (text && *text != refusal_->signature) {
      refusal_.reset();  // signed anew: the archive is looked at again, whatever its tag
      state_ = State::Requesting;
      return theDownload_->askForWholeArchive();
    }
    setBack(Setback::Download, text ? Message::text(refusal_->why) : whyNot);
  });
}

void Download::signatureArrived(const std::optional<std::string>& text, const Message& whyNot) {
  // Signed for this release and arch, whatever address served it.
  GateStatus refused = text ? admitAgent(*text, theDownload_->archive().digest(), installAgentFileName, cache_.floor())
                              : GateStatus(GateCode::NoSignature, window::english(whyNot));
  if (mayPassOnRefetch(refused.code()) && !fetchedAgain_) {
    // Most likely a release published between the two requests: both once more.
    fetchedAgain_ = true;
    state_ = State::Requesting;
    return theDownload_->startOver();
  }
  signature_ = text.value_or(std::string());
  if (!refused) {  // never unpacked, cached or started
    Message why = text ? refusalMessage(refused) : whyNot;
    if (!validationString_.empty()) refusing_ = AgentCache::Refusal{validationString_, refused.message(), signature_};
    return setBack(Setback::Download, why);
  }
  downloadDidFinish();
}

void Download::didReceiveAuthenticationChallenge() {
  // No credentials to offer: the download fails and says so.
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
  theDownload_->finish();  // unpacking is not the server's time
  showInitializing();
  state_ = State::Installing;
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
  if (lock == AgentCache::LockState::Unavailable) {
    // The cache cannot be used: the command-line road unpacks the archive
    // into the run's private directory and starts it from there.
    theDownload_->archive().keep();
    state_ = State::ArchiveLeft;
    loop_.stop();
    return;
  }
  ArchiveInTransit& archive = theDownload_->archive();
  platform::Status<AgentCache::Code> installed =
      cache_.install(archive.fd(), validationString_, signature_, archive.digest(), callback_);
  if (!installed) {
    cache_.unlock();
    // Only what the archive itself lacks would fail again; a full disk may not.
    if (installed.code() == AgentCache::Code::NoInstallScript && !validationString_.empty())
      refusing_ = AgentCache::Refusal{validationString_, installed.message(), signature_};
    return setBack(Setback::Unpack, Message::text(installed.message()));
  }
  startCachedAgent();
}

// The lock is held; the window stays, live, while the agent gets going.
void Download::startCachedAgent() {
  bool started = fireInstallAgent();
  cache_.unlock();
  if (!started) return loop_.stop();
  agentStartedAt_ = platform::monotonicSeconds();
  waitForInstallAgentToStart();
}

bool Download::fireInstallAgent() {
  // Once more at the start: the decision to trust the cache was made a while ago.
  installAgentLocation_ = cache_.usable() ? cache_.vouchedAgent() : std::string();
  if (!installAgentLocation_.empty()) {
    const auto& own = platform::processArguments();
    std::vector<std::string> user(own.begin() + (own.empty() ? 0 : 1), own.end());
    agent_ = startInstallAgent(getInstallAgentExecutable(installAgentLocation_), getBundleLocation(), user);
  }
  if (!agent_) {
    callback_("Failed to start the instal agent", true);
    return false;
  }
  state_ = State::AgentStarted;
  return true;
}
