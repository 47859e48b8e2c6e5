// Fetches the signature published beside an agent archive, over the same
// transfer machinery (proxies, TLS, time-outs) as the archive itself.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/http_download.h"

// The .minisig address of an archive: ".minisig" after the address's path.
std::string signatureAddressOf(const std::string& address);

class SignatureFetch : private platform::HttpDownloadDelegate {
 public:
  // Called once: true with the signature's text, or false with why not.
  using Done = std::function<void(bool ok, const std::string& textOrReason)>;

  // Starts at once; `path` is where the signature is kept meanwhile.
  SignatureFetch(platform::HttpRequest request, std::string path, Done done);
  ~SignatureFetch();  // cancels; `done` is not called then

 private:
  bool didReceiveResponse(const platform::HttpResponse& response) override;
  void didReceiveDataOfLength(uint64_t length) override;
  void didEnd(const platform::TransferResult& result) override;

  std::string path_;
  Done done_;
  uint64_t received_ = 0;
  std::unique_ptr<platform::HttpDownload> transfer_;
};
