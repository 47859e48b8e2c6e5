// Fetches the signature published beside an agent archive, over the same
// transfer machinery (proxies, TLS, time-outs) as the archive itself, and
// keeps it in memory: it is a few short lines.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "network/http_download.h"
#include "window/message.h"

// The .minisig address of an archive: ".minisig" after the address's path;
// empty when the address does not parse.
std::string signatureAddressOf(const std::string& address);

class SignatureFetch : private network::HttpDownloadDelegate, private network::BodySink {
 public:
  // Called once: the signature's text, or why there is none, and how many
  // redirects led to it.
  using Done =
      std::function<void(const std::optional<std::string>& text, const window::Message& whyNot, long redirects)>;

  // Starts at once.
  SignatureFetch(network::HttpRequest request, Done done,
                 const network::StartTransfer& start = network::startHttpDownload);
  ~SignatureFetch();  // cancels; `done` is not called then

 private:
  bool didReceiveResponse(const network::HttpResponse& response) override;
  void didReceiveDataOfLength(uint64_t) override {}
  void didEnd(const network::TransferResult& result) override;
  bool write(const char* data, size_t length, std::string* why) override;

  Done done_;
  std::string text_;
  std::unique_ptr<network::Transfer> transfer_;
};
