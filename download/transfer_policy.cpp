#include "download/transfer_policy.h"

#include <algorithm>
#include <cmath>

#include "provisioning/agent_trust.h"

using network::NetworkCause;
using network::TransferEnd;
using network::TransferResult;

namespace {

constexpr double kMaxBackoffSeconds = 30;
constexpr double kMaxRetryAfterSeconds = 60;
constexpr long kProxyAuthenticationRequired = 407;

using Id = window::Message::Id;

std::optional<Id> causeInWords(NetworkCause cause) {
  switch (cause) {
    case NetworkCause::ResolveFailed: return Id::ResolveFailed;
    case NetworkCause::ConnectFailed: return Id::ConnectFailed;
    case NetworkCause::ConnectionDropped: return Id::ConnectionDropped;
    case NetworkCause::Stalled: return Id::Stalled;
    case NetworkCause::TlsUntrusted: return Id::TlsUntrusted;
    case NetworkCause::TooManyRedirects: return Id::TooManyRedirects;
    default: return std::nullopt;
  }
}

bool isRetryableStatus(long status) {
  switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504: return true;
    default: return false;
  }
}

}  // namespace

bool takesBody(const network::HttpResponse& response) {
  return response.status >= 200 && response.status < 300;
}

window::Message failureReason(const TransferResult& result) {
  bool answered = result.kind == TransferEnd::HttpStatus || result.kind == TransferEnd::NetworkError;
  if (answered && result.httpStatus == kProxyAuthenticationRequired) return {Id::ProxyAuthentication};
  if (result.kind == TransferEnd::HttpStatus) return {Id::HttpStatus, {result.httpStatus}};
  std::optional<Id> words = result.kind == TransferEnd::NetworkError ? causeInWords(result.cause) : std::nullopt;
  // Write errors name the file; libcurl's words are all there is.
  if (!words) return window::Message::text(result.description);
  std::string details = result.description;
  bool direct = result.cause == NetworkCause::ConnectFailed || result.cause == NetworkCause::ResolveFailed;
  if (direct && result.httpProxyOnly)
    details = "https addresses use https_proxy, and only http_proxy is set" + (details.empty() ? "" : "; " + details);
  return {*words, {}, details.empty() ? "" : " (" + details + ")"};
}

bool isRetryable(const TransferResult& result) {
  if (result.kind == TransferEnd::HttpStatus) return isRetryableStatus(result.httpStatus);
  if (result.kind != TransferEnd::NetworkError) return false;
  // A proxy that refused the tunnel answered with a status of its own.
  if (result.cause == NetworkCause::ConnectFailed && result.httpStatus >= 400)
    return isRetryableStatus(result.httpStatus);
  switch (result.cause) {
    case NetworkCause::ResolveFailed:
    case NetworkCause::ConnectFailed:
    case NetworkCause::ConnectionDropped:
    case NetworkCause::Stalled:
      return true;
    default:
      return false;
  }
}

NextStep nextStep(const Attempt& a) {
  const NextStep giveUp = a.anotherHost ? NextStep::NextHost : NextStep::Fail;
  if (a.gate) {
    if (*a.gate == GateCode::Ok) return NextStep::Accept;
    // Most likely a release published between the two requests: both once more.
    if (mayPassOnRefetch(*a.gate) && !a.fetchedAgain) return NextStep::StartOver;
    // A stale mirror, or one that serves what this installer does not trust.
    return a.anotherHost ? NextStep::NextHost : NextStep::Refuse;
  }
  if (a.bodyRefused) return giveUp;
  const TransferResult& r = a.result;
  if (r.kind == TransferEnd::Finished) return NextStep::Accept;
  if (r.kind == TransferEnd::NotModified)
    return a.askedIfNoneMatch ? NextStep::Accept : a.anotherHost ? NextStep::NextHost : NextStep::Refuse;
  if (r.kind == TransferEnd::HttpStatus && r.httpStatus == 416 && a.askedForRange) return NextStep::StartOver;
  if (a.retries <= 0 || !isRetryable(r)) return giveUp;
  if (a.progressed) return NextStep::ResumeNow;
  // A host that cannot be reached, or that stalls, costs no retry of its own while another is there.
  bool unreachable = r.kind == TransferEnd::NetworkError &&
                     (r.cause == NetworkCause::ResolveFailed || r.cause == NetworkCause::Stalled ||
                      (r.cause == NetworkCause::ConnectFailed && r.httpStatus == 0));
  if (a.anotherHost && unreachable) return NextStep::NextHost;
  int retries = a.anotherHost ? std::min(a.retries, kRetriesPerHost) : a.retries;
  return a.retriesUsed < retries ? NextStep::RetryLater : giveUp;
}

double retryDelaySeconds(int attempt, std::optional<double> retryAfterSeconds, double baseSeconds, double random01,
                         bool anotherHost) {
  double ceiling = std::min(baseSeconds * std::ldexp(1.0, std::clamp(attempt, 0, 30)), kMaxBackoffSeconds);
  double delay = retryAfterSeconds ? std::clamp(*retryAfterSeconds, 0.0, kMaxRetryAfterSeconds)
                                   : std::clamp(random01, 0.0, 1.0) * ceiling;
  return anotherHost ? std::min(delay, kRetrySecondsWithAnotherHost) : delay;
}
