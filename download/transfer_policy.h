// What the installer makes of an HTTP transfer: which responses carry the
// agent, how a failed transfer reads in the log, and whether and when it
// is tried again.
#pragma once

#include <optional>
#include <string>

#include "network/http_download.h"
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

// Seconds to wait before retry `attempt` (0 for the first): a random share
// (`random01`, in [0, 1]) of baseSeconds * 2^attempt, at most 30 s, so that
// many installers do not come back at once. The server's Retry-After
// replaces it, at most 60 s.
double retryDelaySeconds(int attempt, std::optional<double> retryAfterSeconds, double baseSeconds, double random01);
