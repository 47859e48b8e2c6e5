// What the installer makes of an HTTP transfer: which responses carry the
// agent, and how a failed transfer reads in the log.
#pragma once

#include <string>

#include "platform/http_download.h"

// Only a success status carries the file asked for; anything else is a
// failure, and its body is never saved.
bool takesBody(const platform::HttpResponse& response);

// A 401 that names how to authenticate: the server wants credentials.
bool isAuthenticationChallenge(const platform::HttpResponse& response);

// The "<why>" of "Download failed! Error - <why> <address>".
std::string failureReason(const platform::TransferResult& result);
