#include "download/transfer_policy.h"

#include <locale.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

using platform::NetworkCause;
using platform::TransferEnd;
using platform::TransferResult;

namespace {

constexpr double kMaxBackoffSeconds = 30;
constexpr double kMaxRetryAfterSeconds = 60;
constexpr long kProxyAuthenticationRequired = 407;

const char* causeInWords(NetworkCause cause) {
  switch (cause) {
    case NetworkCause::ResolveFailed: return "cannot resolve the host name";
    case NetworkCause::ConnectFailed: return "cannot connect to the server";
    case NetworkCause::ConnectionDropped: return "the connection dropped";
    case NetworkCause::Stalled: return "the server stopped sending";
    case NetworkCause::TlsUntrusted: return "the certificate is not trusted";
    case NetworkCause::TooManyRedirects: return "too many redirects";
    default: return nullptr;
  }
}

bool isRetryableStatus(long status) {
  switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504: return true;
    default: return false;
  }
}

// Retry-After as seconds from `now`: delta seconds or an IMF-fixdate
// ("Sun, 06 Nov 1994 08:49:37 GMT"); a date in the past means now.
std::optional<double> retryAfterSeconds(const std::string& value, std::time_t now) {
  size_t begin = value.find_first_not_of(" \t"), end = value.find_last_not_of(" \t");
  if (begin == std::string::npos) return std::nullopt;
  std::string text = value.substr(begin, end - begin + 1);
  if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    errno = 0;
    double seconds = std::strtod(text.c_str(), nullptr);
    return errno == ERANGE ? kMaxRetryAfterSeconds : seconds;
  }
  // Day and month names in English whatever the user's locale (the window
  // toolkit sets it from the environment).
  locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  if (!c) return std::nullopt;
  locale_t previous = uselocale(c);
  std::tm tm{};
  const char* rest = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  uselocale(previous);
  freelocale(c);
  if (!rest || *rest) return std::nullopt;
  return std::max(0.0, std::difftime(timegm(&tm), now));
}

}  // namespace

bool takesBody(const platform::HttpResponse& response) {
  return response.status >= 200 && response.status < 300;
}

bool isAuthenticationChallenge(const platform::HttpResponse& response) {
  return response.status == 401 && response.header("WWW-Authenticate").has_value();
}

std::string failureReason(const TransferResult& result) {
  bool answered = result.kind == TransferEnd::HttpStatus || result.kind == TransferEnd::NetworkError;
  if (answered && result.httpStatus == kProxyAuthenticationRequired) return "the proxy requires authentication";
  if (result.kind == TransferEnd::HttpStatus) return "HTTP status " + std::to_string(result.httpStatus);
  const char* words = result.kind == TransferEnd::NetworkError ? causeInWords(result.cause) : nullptr;
  if (!words) return result.description;  // write errors name the file; libcurl's words are all there is
  return result.description.empty() ? words : std::string(words) + " (" + result.description + ")";
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

double retryDelaySeconds(int attempt, const std::optional<std::string>& retryAfter, double baseSeconds,
                         std::time_t now, double random01) {
  if (retryAfter) {
    if (auto seconds = retryAfterSeconds(*retryAfter, now)) return std::min(*seconds, kMaxRetryAfterSeconds);
  }
  double ceiling = std::min(baseSeconds * std::ldexp(1.0, std::clamp(attempt, 0, 30)), kMaxBackoffSeconds);
  return std::clamp(random01, 0.0, 1.0) * ceiling;
}
