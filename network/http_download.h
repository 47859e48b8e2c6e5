// One HTTP(S) transfer to a sink, driven by the main loop. Every delegate
// call comes on the main thread and never from inside libcurl, so the
// delegate may cancel or destroy the transfer at any time. The transfer
// states facts (the status, how it ended); what they mean for the
// installer is the caller's business.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace network {

// The final response (not a redirect's, nor a proxy's): what the installer reads of it.
struct HttpResponse {
  long status = 0;
  std::optional<std::string> etag;     // "ETag" exactly as sent; absent when not sent
  std::optional<std::string> lastModified;
  std::optional<std::string> contentRange;
  int64_t expectedContentLength = -1;  // -1 when unknown (chunked, no length)
  std::optional<double> retryAfterSeconds;  // "Retry-After", seconds or a date, as seconds from now
};

// How a transfer ended.
enum class TransferEnd {
  Finished,      // the whole body went to the sink
  NotModified,   // 304: no body was sent
  HttpStatus,    // the delegate did not take the response's body
  NetworkError,  // libcurl gave up: see curlCode
  WriteError,    // the sink refused the body: see description
  Cancelled,
};

// What a network error comes down to, so that callers need not know
// libcurl's codes.
enum class NetworkCause {
  None,               // not a network error
  ResolveFailed,      // the server's or the proxy's name did not resolve
  ConnectFailed,      // refused, unreachable, no connection in time, or a proxy refused the tunnel
  ConnectionDropped,  // closed or broken before the whole response came
  Stalled,            // connected, but slower than the floor for too long
  TlsUntrusted,       // the server's certificate did not verify
  TooManyRedirects,
  Other,              // anything else: see curlCode and description
};

struct TransferResult {
  TransferEnd kind = TransferEnd::Cancelled;
  long httpStatus = 0;  // of the final response (or a proxy's refused tunnel), 0 when none came
  int curlCode = 0;     // CURLcode, 0 unless kind is NetworkError
  NetworkCause cause = NetworkCause::None;  // set when kind is NetworkError
  std::string description;  // for a log line: names the cause
  std::string url;          // the address asked for (not where a redirect led)
  // A network error on an https address while the environment names a
  // proxy for http only: a user who meant it for both should know.
  bool httpProxyOnly = false;
  long redirects = 0;  // followed on the way: each was a request of its own
};

struct HttpRequest {
  std::string url;
  std::vector<std::string> headers;  // extra "Name: value" lines
  std::string userAgent;             // none is sent when empty
  long connectSeconds = 30;          // name lookup, TCP and TLS handshakes
  // Fewer than minimumBytesPerSecond for stallSeconds ends the transfer, so
  // a server that trickles a few bytes a second cannot hold it for ever.
  long stallSeconds = 60;
  long minimumBytesPerSecond = 1024;
  long maxRedirects = 10;  // more ends the transfer as TooManyRedirects
};

// Where the body goes, piece by piece in order, as it arrives. Called
// inside the transfer: it must not cancel or destroy it.
class BodySink {
 public:
  // False stops the transfer as a WriteError that `why` describes.
  virtual bool write(const char* data, size_t length, std::string* why) = 0;

 protected:
  ~BodySink() = default;
};

// Calls in this order: didReceiveResponse once for the final response,
// didReceiveDataOfLength for every piece written (only when the body was
// taken), then didEnd once. Nothing after cancel().
class HttpDownloadDelegate {
 public:
  // True to take the body; false ends the transfer as HttpStatus (or as
  // NotModified for a 304).
  virtual bool didReceiveResponse(const HttpResponse& response) = 0;
  virtual void didReceiveDataOfLength(uint64_t length) = 0;
  virtual void didEnd(const TransferResult& result) = 0;

 protected:
  ~HttpDownloadDelegate() = default;
};

// `url` with `suffix` appended to its path (before any query or fragment),
// through libcurl's URL parser; empty when `url` does not parse.
std::string withPathSuffix(const std::string& url, const std::string& suffix);

// A running transfer, as its owner sees it.
class Transfer {
 public:
  virtual ~Transfer() = default;
  // No callback after this, and no further body byte reaches the sink.
  // Does nothing once the transfer has ended.
  virtual void cancel() = 0;
};

// How a transfer is started: the real one by default, another in tests.
using StartTransfer =
    std::function<std::unique_ptr<Transfer>(HttpRequest request, BodySink* sink, HttpDownloadDelegate* delegate)>;
std::unique_ptr<Transfer> startHttpDownload(HttpRequest request, BodySink* sink, HttpDownloadDelegate* delegate);

class HttpDownload : public Transfer {
 public:
  // Starts on the next turn of the loop; nothing reaches the delegate before.
  // A taken body goes to `sink`.
  HttpDownload(HttpRequest request, BodySink* sink, HttpDownloadDelegate* delegate);
  ~HttpDownload() override;  // cancels
  HttpDownload(const HttpDownload&) = delete;
  HttpDownload& operator=(const HttpDownload&) = delete;

  void cancel() override;
  bool ended() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace network
