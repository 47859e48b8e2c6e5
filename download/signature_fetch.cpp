#include "download/signature_fetch.h"

#include "download/transfer_policy.h"
#include "provisioning/agent_signature.h"

std::string signatureAddressOf(const std::string& address) {
  size_t end = address.find_first_of("?#");
  if (end == std::string::npos) return address + ".minisig";
  return address.substr(0, end) + ".minisig" + address.substr(end);
}

SignatureFetch::SignatureFetch(platform::HttpRequest request, Done done) : done_(std::move(done)) {
  platform::HttpDownloadDelegate* delegate = this;
  platform::BodySink* sink = this;
  transfer_ = std::make_unique<platform::HttpDownload>(std::move(request), sink, delegate);
}

SignatureFetch::~SignatureFetch() = default;

bool SignatureFetch::didReceiveResponse(const platform::HttpResponse& response) { return takesBody(response); }

bool SignatureFetch::write(const char* data, size_t length, std::string* why) {
  // A hostile server must not make us buffer an arbitrary amount.
  if (text_.size() + length > kMaxSignatureBytes) {
    *why = "bad signature: the signature file is too large";
    return false;
  }
  text_.append(data, length);
  return true;
}

void SignatureFetch::didEnd(const platform::TransferResult& result) {
  // The owner may destroy this object from `done`: nothing of it is used after.
  Done done = std::move(done_);
  if (result.kind == platform::TransferEnd::WriteError) return done(false, result.description);
  if (result.kind != platform::TransferEnd::Finished)
    return done(false, "cannot fetch the signature: " + failureReason(result) + " " + result.url);
  std::string text = std::move(text_);
  done(true, text);
}
