#include "download/agent_download.h"

#include <cstring>

#include "download/transfer_policy.h"
#include "platform/quantities.h"
#include "platform/system_log.h"
#include "provisioning/agent_trust.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"

using window::Message;
using Id = window::Message::Id;

namespace {

// Another run holds the cache: look again this soon.
constexpr double kCacheRetrySeconds = 0.05;

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

// Two addresses of the same file on the same host, whatever their queries ask.
bool sameFile(const std::string& a, const std::string& b) {
  return a.substr(0, a.find_first_of("?#")) == b.substr(0, b.find_first_of("?#"));
}

}  // namespace

AgentDownload::AgentDownload(platform::EventLoop& loop, AgentCache& cache, Listener& listener,
                             ErrorCallback callback, std::vector<std::string> addresses,
                             const std::string& destination)
    : loop_(loop), cache_(cache), listener_(listener), callback_(callback) {
  if (addresses.empty()) addresses.emplace_back();  // an empty address fails as any bad one does
  // A refusal matters only while a vouched agent is there to fall back to.
  refusal_ = signaturesRequired() && cache_.usable() && cache_.recordedTag() ? cache_.refusal() : std::nullopt;
  ArchiveFetch::Options options;
  options.hashBody = signaturesRequired();
  ArchiveFetch::Client& client = *this;
  fetch_ = std::make_unique<ArchiveFetch>(loop_, client, std::move(addresses), destination, options);
}

AgentDownload::~AgentDownload() { cancel(); }

void AgentDownload::cancel() {
  cancelTimer();
  fetch_->cancel();  // its deadline and signature too
  ended_ = true;
}

void AgentDownload::finish() { fetch_->finish(); }

void AgentDownload::cancelTimer() {
  if (timer_) loop_.cancelCall(timer_);
  timer_ = 0;
}

void AgentDownload::end(Outcome outcome) {
  if (ended_) return;
  ended_ = true;
  cancelTimer();
  if (fetch_->leftAHost() && outcome.kind == Outcome::Kind::CachedAgentCurrent)
    platform::systemLog("The installed agent is the one " + address() + " offers");
  if (fetch_->leftAHost() && outcome.kind == Outcome::Kind::ArchiveVerified)
    platform::systemLog("The agent was downloaded from " + address());
  if (outcome.kind == Outcome::Kind::Failed) fetch_->cancel();  // nothing more comes of it
  listener_.downloadEnded(outcome);
}

void AgentDownload::fail(Setback setback, Message why) {
  Outcome failed;
  failed.setback = setback;
  failed.why = std::move(why);
  failed.tag = tag_;
  failed.refusing = refusing_;
  end(std::move(failed));
}

void AgentDownload::progressed() {
  Progress progress;
  progress.phase = phase_;
  if (phase_ == Phase::Receiving) {
    rate_.add(received_, platform::monotonicSeconds());
    progress.transfer = {received_, fetch_->archive().total(), rate_.bytesPerSecond(),
                         estimateTimeLeft(received_, fetch_->archive().total(), rate_)};
  }
  listener_.downloadProgressed(progress);
}

bool AgentDownload::fetchResponded(const network::HttpResponse& response) {
  if (response.status == 304) {
    // Nothing new: the tag is the one the 304 carries, or the one we sent.
    tag_ = response.etag.value_or(cache_.recordedTag().value_or(std::string()));
    return false;  // the transfer ends as not modified, and the cache is looked at then
  }
  if (!takesBody(response)) return false;  // the transfer ends, and says why
  tag_ = response.etag.value_or(std::string());
  // A resumed body goes on where the bar stopped; a whole one starts it over.
  received_ = static_cast<int64_t>(fetch_->archive().size());
  decideOnCache();
  return !ended_ && (deciding_ || phase_ == Phase::Receiving);
}

// Decides between the cache and the download under the cache's lock; while
// another run holds it the body keeps arriving and the decision waits.
void AgentDownload::decideOnCache() {
  AgentCache::LockState lock = cache_.usable() ? cache_.lock() : AgentCache::LockState::Unavailable;
  deciding_ = lock == AgentCache::LockState::Busy;
  if (deciding_) {
    timer_ = loop_.callAfter(kCacheRetrySeconds, [this] {
      timer_ = 0;
      decideOnCache();
    });
    return;
  }
  // A cache that others could write, or that cannot be locked, is not used.
  if (lock == AgentCache::LockState::Held && cache_.holdsAgentTagged(tag_)) {
    Outcome current;
    current.kind = Outcome::Kind::CachedAgentCurrent;
    current.tag = tag_;
    fetch_->cancel();
    return end(std::move(current));  // with the lock held
  }
  // The old agent stays until a new one has been verified and swapped in.
  if (lock == AgentCache::LockState::Held) cache_.unlock();
  if (probedSame_) {  // the cache changed meanwhile, or cannot be used: this host's archive
    probedSame_ = false;
    tag_.clear();
    return fetch_->askForWholeArchive();
  }
  if (refusal_ && tag_ == refusal_->tag) {
    // The archive refused before, by its tag (in a 304, or a 200 from a
    // server that ignores the condition): its body is not wanted, and the
    // signature's fetch is still bounded by the deadline.
    fetch_->stopTransfer();
    return recheckRefusal();
  }
  if (fetch_->ended() == network::TransferEnd::NotModified) {
    // The cache changed since the request was made: ask for the whole archive.
    phase_ = Phase::Requesting;
    return fetch_->askForWholeArchive();
  }
  // Only now is something to be unpacked.
  if (UnzipStatus unzip = unzipInstalled(); !unzip) {
    callback_(unzip.message(), true);
    return fail(Setback::NoUnzip, Message::text(unzip.message()));
  }
  phase_ = Phase::Receiving;
  progressed();  // what arrived before: in earlier attempts, or while the decision waited
  if (fetch_->ended() == network::TransferEnd::Finished) archiveArrived();
}

void AgentDownload::fetchReceived(uint64_t length) {
  received_ += static_cast<int64_t>(length);
  if (phase_ == Phase::Receiving) progressed();
}

void AgentDownload::fetchRetrying(double seconds) {
  phase_ = Phase::Waiting;
  Progress waiting;
  waiting.phase = phase_;
  waiting.retryInSeconds = seconds;
  listener_.downloadProgressed(waiting);
}

void AgentDownload::fetchEnded(network::TransferEnd how) {
  if (how == network::TransferEnd::NotModified) return decideOnCache();
  if (!deciding_) archiveArrived();  // else the decision goes on with it
}

void AgentDownload::fetchFailed(const Message& why) { fail(Setback::Download, why); }

ArchiveFetch::Client::HostPlan AgentDownload::fetchBeginsHost(const std::string& address) {
  std::optional<std::string> cachedTag = cache_.usable() ? cache_.recordedTag() : std::nullopt;
  if (!cachedTag) return {};
  // A run with one address asks only that one, as the server whose tag it is. A cache from before
  // hosts were recorded came from the first one asked.
  if (fetch_->onlyHost() || sameFile(address, cache_.recordedSource().value_or(fetch_->firstAddress()))) {
    // The refused archive's tag goes along, so that a server still offering it says so in a 304.
    if (refusal_ && refusal_->tag != *cachedTag) *cachedTag += ", " + refusal_->tag;
    return {true, cachedTag};
  }
  // Tags differ between hosts; which agent a host offers, its signature says.
  if (!signaturesRequired()) return {};
  probeHost();
  return {false, std::nullopt};
}

void AgentDownload::fetchLeftHost(const std::string&, const Message&) {
  cancelTimer();
  deciding_ = probedSame_ = fetchedAgain_ = false;
  probed_.reset();
  tag_.clear();
  received_ = 0;
  rate_ = RateMeter();
  phase_ = Phase::Requesting;
  Progress moving;
  moving.anotherHost = true;
  listener_.downloadProgressed(moving);  // the bar starts again with the next host's body
}

void AgentDownload::leaveHostOrFail(const Message& why) {
  if (!fetch_->leaveHost(why)) fail(Setback::Download, why);
}

void AgentDownload::probeHost() {
  fetch_->fetchSignature(
      [this](const std::optional<std::string>& text, const Message& whyNot) { signatureProbed(text, whyNot); });
}

// The host's signature, before its archive: the cached agent's means the
// cache decides; one refused before is left; any other goes with the archive.
void AgentDownload::signatureProbed(const std::optional<std::string>& text, const Message& whyNot) {
  if (!text) return leaveHostOrFail(whyNot);
  if (refusal_ && *text == refusal_->signature) return leaveHostOrFail(Message::text(refusal_->why));
  probed_ = *text;
  if (*text == cache_.keptSignature().value_or(std::string())) {
    probedSame_ = true;
    tag_ = cache_.recordedTag().value_or(std::string());
    return decideOnCache();
  }
  fetch_->askForWholeArchive();
}

// In a build with keys, nothing goes further before the gate has passed it.
void AgentDownload::archiveArrived() {
  if (!signaturesRequired()) return signatureArrived(std::string(), {});
  phase_ = Phase::Verifying;
  progressed();
  if (probed_) {
    std::optional<std::string> text = std::move(probed_);
    probed_.reset();
    return signatureArrived(text, {});
  }
  fetch_->fetchSignature(
      [this](const std::optional<std::string>& text, const Message& whyNot) { signatureArrived(text, whyNot); });
}

// The server still offers the archive refused before: unless its signature
// changed, it would be refused again, so its body is not fetched.
void AgentDownload::recheckRefusal() {
  phase_ = Phase::Verifying;
  fetch_->fetchSignature([this](const std::optional<std::string>& text, const Message& whyNot) {
    if (text && *text != refusal_->signature) {
      refusal_.reset();  // signed anew: the archive is looked at again, whatever its tag
      phase_ = Phase::Requesting;
      return fetch_->askForWholeArchive();
    }
    leaveHostOrFail(text ? Message::text(refusal_->why) : whyNot);
  });
}

void AgentDownload::signatureArrived(const std::optional<std::string>& text, const Message& whyNot) {
  // Signed for this release and arch, whatever address served it.
  GateStatus refused;
  if (!text) refused = {GateCode::NoSignature, window::english(whyNot)};
  else if (signaturesRequired())
    refused = admitAgent(*text, fetch_->archive().digest(), installAgentFileName, cache_.floor());
  Attempt judged;
  judged.gate = refused.code();
  judged.fetchedAgain = fetchedAgain_;
  judged.anotherHost = fetch_->hasAnotherHost();
  NextStep step = nextStep(judged);
  if (step == NextStep::StartOver) {
    fetchedAgain_ = true;
    phase_ = Phase::Requesting;
    return fetch_->startOver();
  }
  if (step != NextStep::Accept) {  // never unpacked, cached or started
    if (!tag_.empty()) refusing_ = AgentCache::Refusal{tag_, refused.message(), text.value_or(std::string())};
    Message why = text ? refusalMessage(refused) : whyNot;
    if (step == NextStep::NextHost) return static_cast<void>(fetch_->leaveHost(why));
    return fail(Setback::Download, why);
  }
  Outcome verified;
  verified.kind = Outcome::Kind::ArchiveVerified;
  verified.tag = tag_;
  if (fetch_->leftAHost()) verified.source = address();  // the first host asked is the one a cache without a source names
  verified.signature = *text;
  verified.archive = &fetch_->archive();
  end(std::move(verified));
}
