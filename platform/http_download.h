// An HTTP(S) download to a file, driven by the main loop through libcurl's
// multi socket interface. Every delegate call comes on the main thread and
// never from inside libcurl, so the delegate may call cancel() at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

struct HttpResponse {
  long status = 0;
  std::optional<std::string> etag;      // "ETag" exactly as sent; absent when not sent
  int64_t expectedContentLength = -1;   // -1 when unknown (chunked, no length)
};

struct DownloadError {
  std::string description;  // readable, names the cause
  std::string failingURL;
};

// Callbacks in this order: didReceiveResponse once (2xx final response only),
// didReceiveDataOfLength for every piece written, then exactly one of
// downloadDidFinish or didFailWithError. Nothing after cancel().
class HttpDownloadDelegate {
 public:
  virtual void didReceiveResponse(const HttpResponse& response) = 0;
  virtual void didReceiveDataOfLength(uint64_t length) = 0;
  virtual void didReceiveAuthenticationChallenge() {}
  virtual void downloadDidFinish() = 0;
  virtual void didFailWithError(const DownloadError& error) = 0;

 protected:
  ~HttpDownloadDelegate() = default;
};

struct HttpDownloadTimeouts {
  long connectSeconds = 30;  // name lookup, TCP and TLS handshakes
  long stallSeconds = 60;    // no body bytes for this long fails the transfer
};

class HttpDownload {
 public:
  // Starts at once. The body goes to a temporary file beside `destination`
  // and replaces it only when complete. With deletesFileUponFailure false a
  // failed transfer leaves what arrived at `destination`.
  HttpDownload(std::string url, std::string destination, bool deletesFileUponFailure,
               HttpDownloadDelegate* delegate, HttpDownloadTimeouts timeouts = {});
  ~HttpDownload();  // cancels
  HttpDownload(const HttpDownload&) = delete;
  HttpDownload& operator=(const HttpDownload&) = delete;

  // No callback after this, and no further body byte is written; the partial
  // file is removed. Does nothing once the download has ended.
  void cancel();
  bool ended() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
