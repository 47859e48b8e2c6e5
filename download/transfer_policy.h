// What the installer makes of an HTTP transfer: which responses carry the
// agent, how a failed transfer reads in the log, and whether and when it
// is tried again.
#pragma once

#include <optional>
#include <string>

#include "network/http_download.h"
#include "provisioning/agent_signature.h"
#include "window/message.h"

// Only a success status carries the file asked for; anything else is a
// failure, and its body is never saved.
bool takesBody(const network::HttpResponse& response);

// The "<why>" of "Download failed! Error - <why> <address>", in words a
// person can act on ("cannot connect to the server", "HTTP status 404"),
// with libcurl's own words in parentheses where it has some.
window::Message failureReason(const network::TransferResult& result);

// Whether another attempt may go better: a refused, reset, dropped or
// stalled connection, a name that did not resolve (perhaps only for now),
// and the statuses 408, 429, 500, 502, 503 and 504. Never another 4xx, an
// untrusted certificate, a write error or a cancel.
bool isRetryable(const network::TransferResult& result);

// What the download knows when a request has ended, or when the gate has
// judged a complete archive.
struct Attempt {
  network::TransferResult result;
  bool askedForRange = false;     // the request asked for the rest only
  bool askedIfNoneMatch = false;  // it named a cached agent's tag
  bool progressed = false;        // the kept part grew by enough toward a known length to resume at once
  int retriesUsed = 0;
  int retries = 0;                // allowed after the first attempt
  std::optional<GateCode> gate;   // set once the gate judged the whole archive
  bool fetchedAgain = false;      // the archive and its signature were fetched a second time already
  bool bodyRefused = false;       // the archive refused what the server sent (too large, not an archive, ...)
  bool anotherHost = false;       // a further host may be asked
};

enum class NextStep {
  Accept,      // the archive (or the server's "not modified") goes on to its check
  Refuse,      // a "not modified" nothing asked for, or the gate's refusal
  StartOver,   // from byte 0: the kept part no longer fits, or the archive did not match its signature
  ResumeNow,   // the link dropped after real progress: the rest at once, without using up a retry
  RetryLater,  // a failure that may pass: after the back-off
  NextHost,    // this host failed for good: the next one, from byte 0
  Fail,
};

// With a further host to ask, a host that answers with failures that may
// pass gets this many retries; the last host gets them all.
constexpr int kRetriesPerHost = 1;

// Retry, resume, the 304, the refetch after a mismatch and moving on to the
// next host, decided in one place.
NextStep nextStep(const Attempt& attempt);

// Seconds to wait before retry `attempt` (0 for the first): a random share
// (`random01`, in [0, 1]) of baseSeconds * 2^attempt, at most 30 s, so that
// many installers do not come back at once. The server's Retry-After
// replaces it, at most 60 s. With another host to ask, a host's one retry
// waits at most kRetrySecondsWithAnotherHost: the next host may serve now.
constexpr double kRetrySecondsWithAnotherHost = 0.2;
double retryDelaySeconds(int attempt, std::optional<double> retryAfterSeconds, double baseSeconds, double random01,
                         bool anotherHost = false);
