#include "download/archive_fetch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "download/transfer_policy.h"
#include "platform/quantities.h"
#include "platform/system_log.h"

namespace {

// A dropped transfer that got this far toward the announced length is
// resumed at once, without using up a retry: the server is there, and only
// the link is flaky.
constexpr uint64_t kProgressWorthResuming = 1 << 20;
// No two requests closer than this (jittered), so that even a server that
// fails at once cannot turn the installer into a flood.
constexpr double kMinimumPauseSeconds = 0.1;

// A download that averages at least this never meets the deadline; one that
// keeps ahead of it is looked at again this often.
constexpr double kHonestBytesPerSecond = 32000;
constexpr double kDeadlineRecheckSeconds = 1;

window::Message unasked304() {
  return window::Message::text("the server answered \"not modified\" to a request that named no cached agent");
}

double random01() {
  static std::mt19937 engine{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

}  // namespace

ArchiveFetch::ArchiveFetch(platform::EventLoop& loop, Client& client, std::vector<std::string> addresses,
                           std::string destination, Options options)
    : loop_(loop), client_(client), addresses_(std::move(addresses)), options_(options),
      archive_(std::move(destination), options.hashBody, options.maxBytes), startedAt_(platform::monotonicSeconds()) {
  armDeadline(options_.deadlineSeconds);
  // On the loop: the client hears nothing before this object is its own.
  timer_ = loop_.callAfter(0, [this] {
    timer_ = 0;
    beginHost();
  });
}

void ArchiveFetch::beginHost() {
  Client::HostPlan plan = client_.fetchBeginsHost(address());
  ifNoneMatch_ = plan.ifNoneMatch;
  if (plan.askNow) next(0);
}

bool ArchiveFetch::leaveHost(const window::Message& why) {
  if (!hasAnotherHost()) return false;
  stopTransfer();
  signature_.reset();
  platform::systemLog("Leaving " + address() + " for the next server: " + window::english(why));
  client_.fetchLeftHost(address(), why);
  ++host_;
  archive_.restart();  // never the bytes of one host resumed from another
  retries_ = 0;
  lastRequestAt_ = -1;  // the pause between requests spares one server; the next may be asked at once
  lastDropped_ = false;
  ended_.reset();
  beginHost();
  return true;
}

void ArchiveFetch::armDeadline(double seconds) {
  deadline_ = loop_.callAfter(std::max(0.0, seconds), [this] {
    deadline_ = 0;
    // A link that has kept up an honest pace goes on: the deadline grows
    // with what arrived. A server that stretches time falls behind it.
    double elapsed = platform::monotonicSeconds() - startedAt_;
    double earned = static_cast<double>(bodyBytes_) / kHonestBytesPerSecond;
    if (earned > elapsed) return armDeadline(std::max(kDeadlineRecheckSeconds, earned - elapsed));
    if (transfer_) transfer_->cancel();
    signature_.reset();
    fail(window::Message::text("the download took longer than " + window::durationInWords(options_.deadlineSeconds)));
  });
}

ArchiveFetch::~ArchiveFetch() { cancel(); }

void ArchiveFetch::stopTimers() {
  if (timer_) loop_.cancelCall(timer_);
  if (deadline_) loop_.cancelCall(deadline_);
  timer_ = deadline_ = 0;
}

void ArchiveFetch::finish() { stopTimers(); }

void ArchiveFetch::cancel() {
  stopTimers();
  stopTransfer();
  signature_.reset();
}

void ArchiveFetch::stopTransfer() {
  if (timer_) loop_.cancelCall(timer_);
  timer_ = 0;
  if (transfer_) transfer_->cancel();
}

void ArchiveFetch::fail(window::Message why) {
  stopTimers();
  ended_ = network::TransferEnd::NetworkError;
  client_.fetchFailed(why);
}

void ArchiveFetch::askForWholeArchive() {
  ifNoneMatch_.reset();
  resume();
}

void ArchiveFetch::startOver() {
  archive_.restart();
  resume();
}

// After an end the client could not use: on again, within what is left of
// the deadline.
void ArchiveFetch::resume() {
  ended_.reset();
  if (!deadline_) armDeadline(options_.deadlineSeconds - (platform::monotonicSeconds() - startedAt_));
  next(0);
}

// Waits `delaySeconds`, and at least the minimum pause since the last
// request, before the next attempt.
void ArchiveFetch::next(double delaySeconds) {
  double pause = kMinimumPauseSeconds * (0.75 + 0.5 * random01());
  double since = platform::monotonicSeconds() - lastRequestAt_;
  double delay = std::max(delaySeconds, pause - since);
  if (timer_) loop_.cancelCall(timer_);
  timer_ = loop_.callAfter(std::max(0.0, delay), [this] {
    timer_ = 0;
    attempt();
  });
}

// Fails when the budget allows no further request; else counts this one.
bool ArchiveFetch::budgetSpent() {
  if (requests_ < options_.maxRequests) {
    ++requests_;
    return false;
  }
  std::string asked = onlyHost() ? "the server was asked " : "the servers were asked ";
  fail(window::Message::text(lastDropped_ ? "the server keeps dropping the connection"
                                          : asked + std::to_string(requests_) + " times without success"));
  return true;
}

// A request that may follow only as many redirects as the budget has left.
network::HttpRequest ArchiveFetch::requestFor(std::string url) {
  network::HttpRequest request;
  request.url = std::move(url);
  request.userAgent = userAgent;
  request.connectSeconds = options_.connectSeconds;
  request.stallSeconds = options_.stallSeconds;
  request.maxRedirects = std::min<long>(request.maxRedirects, options_.maxRequests - requests_);
  return request;
}

void ArchiveFetch::fetchSignature(SignatureDone done) {
  if (budgetSpent()) return;
  signature_ = std::make_unique<SignatureFetch>(
      requestFor(signatureAddressOf(address())),
      [this, done](const std::optional<std::string>& text, const window::Message& whyNot, long redirects) {
        requests_ += static_cast<int>(redirects);
        signature_.reset();
        done(text, whyNot);
      },
      options_.startTransfer);
}

void ArchiveFetch::attempt() {
  if (budgetSpent()) return;
  lastRequestAt_ = platform::monotonicSeconds();
  network::HttpRequest request = requestFor(address());
  // The rest, only if it is still the same archive; else the whole again.
  askedForRange_ = archive_.resumable();
  if (askedForRange_) {
    request.headers.push_back("Range: bytes=" + std::to_string(archive_.size()) + "-");
    request.headers.push_back("If-Range: " + archive_.validator());
  }
  askedIfNoneMatch_ = ifNoneMatch_.has_value();
  if (askedIfNoneMatch_) request.headers.push_back("If-None-Match: " + *ifNoneMatch_);
  keptAtStart_ = archive_.size();
  refusal_ = {};
  network::HttpDownloadDelegate* delegate = this;
  transfer_ = options_.startTransfer(std::move(request), &archive_, delegate);
}

bool ArchiveFetch::didReceiveResponse(const network::HttpResponse& response) {
  retryAfter_ = response.retryAfterSeconds;
  if (!takesBody(response)) {
    // A 304 is the client's to read, once the policy has found it asked for.
    if (response.status == 304 && askedIfNoneMatch_) client_.fetchResponded(response);
    return false;  // and no other body is ever taken
  }
  if (!archive_.begin(response, response.status == 206 && askedForRange_)) {
    refusal_ = archive_.refusal();
    return false;
  }
  return client_.fetchResponded(response);
}

void ArchiveFetch::didReceiveDataOfLength(uint64_t length) {
  bodyBytes_ += length;
  client_.fetchReceived(length);
}

void ArchiveFetch::didEnd(const network::TransferResult& result) {
  if (result.kind == network::TransferEnd::Cancelled) return;
  requests_ += static_cast<int>(result.redirects);
  if (result.kind == network::TransferEnd::WriteError && archive_.refusal().empty())  // the disk's
    return fail(window::Message::text(result.description));
  // The archive refused what the host sent, before or while it arrived, or at its end.
  bool bodyRefused = !refusal_.empty() || result.kind == network::TransferEnd::WriteError ||
                     (result.kind == network::TransferEnd::Finished && !archive_.complete());
  window::Message refused = !refusal_.empty() ? refusal_ : archive_.refusal();
  if (bodyRefused && archive_.localFault()) return fail(refused);
  lastDropped_ = result.kind == network::TransferEnd::NetworkError &&
                 result.cause == network::NetworkCause::ConnectionDropped;
  Attempt attempt;
  attempt.result = result;
  attempt.askedForRange = askedForRange_;
  attempt.askedIfNoneMatch = askedIfNoneMatch_;
  // Only while the kept part grows toward the announced length.
  attempt.progressed = archive_.resumable() && archive_.total() >= 0 &&
                       archive_.size() >= keptAtStart_ + kProgressWorthResuming;
  attempt.retriesUsed = retries_;
  attempt.retries = options_.retries;
  attempt.bodyRefused = bodyRefused;
  attempt.anotherHost = hasAnotherHost();
  switch (nextStep(attempt)) {
    case NextStep::Accept:
      // The deadline goes on: what the client fetches next (the signature)
      // is part of the download, until finish().
      stopTransfer();
      ended_ = result.kind;
      return client_.fetchEnded(result.kind);
    case NextStep::Refuse:
      return fail(unasked304());
    case NextStep::StartOver:  // the kept part no longer fits the archive
      archive_.restart();
      return next(0);
    case NextStep::ResumeNow:
    case NextStep::RetryLater:
      return retryLater(result, attempt.progressed);
    case NextStep::NextHost:
      leaveHost(bodyRefused ? refused : result.kind == network::TransferEnd::NotModified ? unasked304()
                                                                                        : failureReason(result));
      return;
    case NextStep::Fail:
      return fail(bodyRefused ? refused : failureReason(result));
  }
}

// Waits, as the policy says, then asks again; the client says so meanwhile.
void ArchiveFetch::retryLater(const network::TransferResult& result, bool progressed) {
  double delay = progressed ? 0
                            : retryDelaySeconds(retries_, retryAfter_, options_.retryBaseSeconds, random01(),
                                                hasAnotherHost());
  if (!progressed) ++retries_;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", delay);
  platform::systemLog("Download attempt failed, retrying in " + std::string(seconds) + " s: " +
                      window::english(failureReason(result)) + " " + address());
  next(delay);
  client_.fetchRetrying(delay);
}
