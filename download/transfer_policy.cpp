#include "download/transfer_policy.h"

bool takesBody(const platform::HttpResponse& response) {
  return response.status >= 200 && response.status < 300;
}

bool isAuthenticationChallenge(const platform::HttpResponse& response) {
  return response.status == 401 && response.header("WWW-Authenticate").has_value();
}

std::string failureReason(const platform::TransferResult& result) { return result.description; }
