// The transfer policy's cases that real transfers here cannot produce
// cheaply (http_download_test asserts it on real results), and the back-off.
#include "download/transfer_policy.h"

#include <gtest/gtest.h>

namespace {

using platform::NetworkCause;
using platform::TransferEnd;

TEST(TransferPolicy, ReasonAndRetryOfResultsNoLocalServerGives) {
  struct Case { TransferEnd kind; long status; NetworkCause cause; std::string reason; bool retry; } cases[] = {
      {TransferEnd::HttpStatus, 408, NetworkCause::None, "HTTP status 408", true},
      {TransferEnd::HttpStatus, 429, NetworkCause::None, "HTTP status 429", true},
      {TransferEnd::HttpStatus, 502, NetworkCause::None, "HTTP status 502", true},
      {TransferEnd::HttpStatus, 503, NetworkCause::None, "HTTP status 503", true},
      {TransferEnd::HttpStatus, 504, NetworkCause::None, "HTTP status 504", true},
      {TransferEnd::HttpStatus, 400, NetworkCause::None, "HTTP status 400", false},
      {TransferEnd::HttpStatus, 416, NetworkCause::None, "HTTP status 416", false},
      {TransferEnd::HttpStatus, 501, NetworkCause::None, "HTTP status 501", false},
      {TransferEnd::NetworkError, 0, NetworkCause::TlsUntrusted, "the certificate is not trusted (d)", false},
      {TransferEnd::NetworkError, 0, NetworkCause::Stalled, "the server stopped sending (d)", true},
      // A proxy that refused the tunnel (CONNECT) to an https server.
      {TransferEnd::NetworkError, 407, NetworkCause::ConnectFailed, "the proxy requires authentication", false},
      {TransferEnd::NetworkError, 403, NetworkCause::ConnectFailed, "cannot connect to the server (d)", false},
      {TransferEnd::NetworkError, 503, NetworkCause::ConnectFailed, "cannot connect to the server (d)", true},
      {TransferEnd::Cancelled, 200, NetworkCause::None, "d", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    platform::TransferResult result;
    result.kind = c.kind;
    result.httpStatus = c.status;
    result.cause = c.cause;
    result.description = "d";
    EXPECT_EQ(failureReason(result), c.reason);
    EXPECT_EQ(isRetryable(result), c.retry);
  }
}

TEST(TransferPolicy, RetryDelayBacksOffWithJitterUnlessTheServerSaysWhen) {
  const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Case { int attempt; std::optional<std::string> retryAfter; double base, random01, seconds; } cases[] = {
      {0, std::nullopt, 1, 1, 1},
      {3, std::nullopt, 1, 1, 8},
      {3, std::nullopt, 1, 0.25, 2},
      {2, std::nullopt, 0.05, 1, 0.2},
      {9, std::nullopt, 1, 1, 30},
      {0, std::nullopt, 1, 0, 0},
      {3, "7", 1, 0.5, 7},
      {3, " 120 ", 1, 0.5, 60},
      {0, "Sun, 06 Nov 1994 08:50:07 GMT", 1, 0.5, 30},
      {0, "Sun, 06 Nov 1994 09:49:37 GMT", 1, 0.5, 60},
      {0, "Sun, 06 Nov 1994 08:00:00 GMT", 1, 0.5, 0},  // already past
      {3, "Sunday, 06-Nov-94 08:50:07 GMT", 1, 0.5, 4},  // not an IMF-fixdate: ignored
      {3, "soon", 1, 0.5, 4},
      {3, "-5", 1, 0.5, 4},
      {3, "", 1, 0.5, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.attempt) + " " + c.retryAfter.value_or("(none)"));
    EXPECT_DOUBLE_EQ(retryDelaySeconds(c.attempt, c.retryAfter, c.base, now, c.random01), c.seconds);
  }
}

}  // namespace
