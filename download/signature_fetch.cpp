#include "download/signature_fetch.h"

#include <algorithm>

#include "download/transfer_policy.h"
#include "provisioning/agent_signature.h"

std::string signatureAddressOf(const std::string& address) { return network::withPathSuffix(address, ".minisig"); }

SignatureFetch::SignatureFetch(network::HttpRequest request, Done done, const network::StartTransfer& start)
    : done_(std::move(done)) {
  network::HttpDownloadDelegate* delegate = this;
  network::BodySink* sink = this;
  transfer_ = start(std::move(request), sink, delegate);
}

SignatureFetch::~SignatureFetch() = default;

bool SignatureFetch::didReceiveResponse(const network::HttpResponse& response) { return takesBody(response); }

bool SignatureFetch::write(const char* data, size_t length, std::string*) {
  // A hostile server must not make us buffer an arbitrary amount: one byte
  // past what a signature can be is enough for the gate to refuse it.
  text_.append(data, std::min(length, kMaxSignatureBytes + 1 - text_.size()));
  return text_.size() <= kMaxSignatureBytes;
}

void SignatureFetch::didEnd(const network::TransferResult& result) {
  // The owner may destroy this object from `done`: nothing of it is used after.
  Done done = std::move(done_);
  bool tooLarge = text_.size() > kMaxSignatureBytes;
  if (result.kind != network::TransferEnd::Finished && !tooLarge)
    return done(std::nullopt,
                {window::Message::Id::CannotFetchSignature, {},
                 ": " + window::english(failureReason(result)) + " " + result.url},
                result.redirects);
  done(std::move(text_), {}, result.redirects);
}
