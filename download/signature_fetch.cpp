#include "download/signature_fetch.h"

#include <cstdio>

#include "download/transfer_policy.h"
#include "provisioning/agent_trust.h"

std::string signatureAddressOf(const std::string& address) {
  size_t end = address.find_first_of("?#");
  if (end == std::string::npos) return address + ".minisig";
  return address.substr(0, end) + ".minisig" + address.substr(end);
}

SignatureFetch::SignatureFetch(platform::HttpRequest request, std::string path, Done done)
    : path_(std::move(path)), done_(std::move(done)) {
  platform::HttpDownloadDelegate* delegate = this;
  transfer_ = std::make_unique<platform::HttpDownload>(std::move(request), path_, delegate);
}

SignatureFetch::~SignatureFetch() {
  transfer_.reset();
  std::remove(path_.c_str());
}

bool SignatureFetch::didReceiveResponse(const platform::HttpResponse& response) {
  return takesBody(response);
}

void SignatureFetch::didReceiveDataOfLength(uint64_t length) {
  received_ += length;
  if (received_ <= kMaxSignatureBytes) return;
  transfer_->cancel();
  done_(false, "bad signature: the signature file is too large");
}

void SignatureFetch::didEnd(const platform::TransferResult& result) {
  if (result.kind != platform::TransferEnd::Finished)
    return done_(false, "cannot fetch the signature: " + failureReason(result) + " " + result.url);
  std::string text, why;
  bool ok = readSignatureFile(path_, &text, &why);
  std::remove(path_.c_str());
  done_(ok, ok ? text : why);
}
