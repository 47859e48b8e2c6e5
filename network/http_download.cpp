#include "network/http_download.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "network/curl_glib.h"
#include "network/proxy_resolver.h"

namespace network {

namespace {

constexpr long kBufferSize = 256 * 1024;

// A header of the final response (libcurl matches the name in any case).
std::optional<std::string> finalHeader(CURL* easy, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return std::nullopt;
  return std::string(header->value);
}

}  // namespace

struct HttpDownload::Impl {
  HttpRequest request;
  BodySink* sink;
  HttpDownloadDelegate* delegate;
  bool secure = false;  // an https address: redirects stay on https
  TransferResult result;

  // Cleared when the object goes away, so code that just called the
  // delegate can tell whether it may still touch anything.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  bool ended = false;

  guint startSource = 0;
  std::unique_ptr<ProxyLookup> proxyLookup;
  std::unique_ptr<CurlGlibDriver> driver;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  char curlError[CURL_ERROR_SIZE] = {};

  // Collected inside libcurl's callbacks, delivered once it has returned.
  bool responseWaiting = false;  // first body chunk held back for the response
  bool responseDelivered = false;
  uint64_t pendingBytes = 0;
  bool writeFailed = false;
  std::string writeProblem;

  Impl(HttpRequest r, BodySink* s, HttpDownloadDelegate* dg) : request(std::move(r)), sink(s), delegate(dg) {
    result.url = request.url;
  }

  // The desktop's proxy is asked for first when the environment names
  // none; a cancel meanwhile drops the answer.
  void start();
  // Sets the transfer up and starts it; else it ends.
  void begin(const std::optional<std::string>& proxy);
  // False, with the transfer ended, when it cannot begin.
  bool checkRequest();
  void teardownTransfer();
  void cancel();

  static size_t onWrite(char* data, size_t size, size_t count, void* userp);
  void deliver();
  // Gives the final response to the delegate; false when the transfer ended.
  bool deliverResponse();
  void complete(CURLcode code);
  NetworkCause classify(CURLcode code);

  HttpResponse currentResponse();
  std::string effectiveURL();
  void countRedirects();
  void end(TransferEnd kind, std::string description);
  // Ends it for a reason of our own, not the network's.
  void fail(CURLcode code, std::string description);
};

void HttpDownload::Impl::start() {
  startSource = 0;
  if (!checkRequest()) return;
  if (environmentNamesProxy() || !inDesktopSession()) return begin(std::nullopt);
  proxyLookup = std::make_unique<ProxyLookup>(request.url, [this](std::optional<std::string> proxy) {
    proxyLookup.reset();
    begin(std::move(proxy));
  });
}

bool HttpDownload::Impl::checkRequest() {
  if (!curlGlobalInit()) {
    fail(CURLE_FAILED_INIT, "cannot initialise the network library");
    return false;
  }
  CURLU* parsed = curl_url();
  CURLUcode urc = parsed ? curl_url_set(parsed, CURLUPART_URL, request.url.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
  char* scheme = nullptr;
  if (urc == CURLUE_OK) urc = curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0);
  // Once on TLS, a redirect never leaves it: anyone on the path could answer
  // a plain request.
  secure = scheme && std::strcmp(scheme, "https") == 0;
  curl_free(scheme);
  curl_url_cleanup(parsed);
  if (urc != CURLUE_OK) fail(CURLE_URL_MALFORMAT, "invalid URL \"" + request.url + "\": " + curl_url_strerror(urc));
  return urc == CURLUE_OK;
}

void HttpDownload::Impl::begin(const std::optional<std::string>& proxy) {
  driver = std::make_unique<CurlGlibDriver>([this] { deliver(); });
  easy = curl_easy_init();
  if (!driver->valid() || !easy) return fail(CURLE_OUT_OF_MEMORY, "cannot start the transfer: out of memory");
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curlError);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  if (!request.userAgent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, request.userAgent.c_str());
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, std::clamp(request.maxRedirects, 0L, 10L));
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
  if (request.connectSeconds > 0) curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, request.connectSeconds);
  if (request.stallSeconds > 0) {
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, request.minimumBytesPerSecond));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, request.stallSeconds);
  }
  if (proxy) curl_easy_setopt(easy, CURLOPT_PROXY, proxy->c_str());  // "" goes direct
  // Credentials in a proxy's address then work whichever scheme it asks for.
  curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  for (const std::string& line : request.headers) headerList = curl_slist_append(headerList, line.c_str());
  if (headerList) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::onWrite);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

  CURLMcode mrc = driver->add(easy);
  if (mrc != CURLM_OK) fail(CURLE_FAILED_INIT, std::string("cannot start the transfer: ") + curl_multi_strerror(mrc));
}

void HttpDownload::Impl::teardownTransfer() {
  proxyLookup.reset();
  if (driver && easy) driver->remove(easy);
  if (easy) curl_easy_cleanup(easy);
  easy = nullptr;
  driver.reset();
  curl_slist_free_all(headerList);
  headerList = nullptr;
  if (startSource) g_source_remove(startSource);
  startSource = 0;
}

void HttpDownload::Impl::cancel() {
  if (ended) return;
  ended = true;
  result.kind = TransferEnd::Cancelled;
  result.description = "cancelled";
  teardownTransfer();
}

size_t HttpDownload::Impl::onWrite(char* data, size_t size, size_t count, void* userp) {
  auto* self = static_cast<Impl*>(userp);
  size_t length = size * count;
  if (length == 0) return 0;
  if (!self->responseDelivered) {
    // Hold the first chunk until the delegate has seen the response (and
    // perhaps cancelled); libcurl delivers it again when resumed.
    self->responseWaiting = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (!self->sink->write(data, length, &self->writeProblem)) {
    self->writeFailed = true;
    return CURL_WRITEFUNC_ERROR;
  }
  self->pendingBytes += length;
  return length;
}

// Everything that happened inside libcurl, told to the delegate in order.
// After each delegate call the object may be cancelled or destroyed.
void HttpDownload::Impl::deliver() {
  std::shared_ptr<bool> isAlive = alive;
  if (ended) return;

  if (responseWaiting) {
    responseWaiting = false;
    if (!deliverResponse() || !*isAlive) return;
    CURLcode rc = curl_easy_pause(easy, CURLPAUSE_CONT);
    if (!*isAlive || ended) return;
    if (rc != CURLE_OK && !writeFailed) return fail(rc, std::string("transfer failed: ") + curl_easy_strerror(rc));
  }

  if (pendingBytes > 0) {
    uint64_t length = pendingBytes;
    pendingBytes = 0;
    delegate->didReceiveDataOfLength(length);
    if (!*isAlive || ended) return;
  }

  if (writeFailed) {
    // libcurl could go on reading after a refused chunk; stop here.
    complete(CURLE_WRITE_ERROR);
    return;
  }
  if (auto code = driver->takeResult()) complete(*code);
}

bool HttpDownload::Impl::deliverResponse() {
  std::shared_ptr<bool> isAlive = alive;
  responseDelivered = true;
  HttpResponse response = currentResponse();
  result.httpStatus = response.status;
  bool take = delegate->didReceiveResponse(response);
  if (!*isAlive || ended) return false;
  if (!take) {
    bool notModified = response.status == 304;
    end(notModified ? TransferEnd::NotModified : TransferEnd::HttpStatus,
        notModified ? "not modified"
                    : "HTTP status " + std::to_string(response.status) + " from " + effectiveURL());
    return false;
  }
  return true;
}

void HttpDownload::Impl::complete(CURLcode code) {
  if (writeFailed) {
    end(TransferEnd::WriteError, writeProblem);
    return;
  }
  if (code != CURLE_OK) {
    long tunnelStatus = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &tunnelStatus);
    if (!responseDelivered && tunnelStatus >= 300) result.httpStatus = tunnelStatus;
    result.curlCode = code;
    result.cause = classify(code);
    result.httpProxyOnly =
        g_ascii_strncasecmp(effectiveURL().c_str(), "https:", 6) == 0 && environmentProxiesHttpOnly();
    end(TransferEnd::NetworkError, curlError[0] ? curlError : curl_easy_strerror(code));
    return;
  }
  if (!responseDelivered && !deliverResponse()) return;  // no body at all: the response still comes first

  countRedirects();
  teardownTransfer();
  ended = true;
  result.kind = TransferEnd::Finished;
  result.description = "finished";
  delegate->didEnd(result);
}

NetworkCause HttpDownload::Impl::classify(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return NetworkCause::ResolveFailed;
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:  // also a reset during the handshake
      return NetworkCause::ConnectFailed;
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connected = 0;
      curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
      return connected > 0 ? NetworkCause::Stalled : NetworkCause::ConnectFailed;
    }
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      // A proxy that refused the tunnel also ends up here; it never connected us.
      return result.httpStatus >= 300 && !responseDelivered ? NetworkCause::ConnectFailed
                                                            : NetworkCause::ConnectionDropped;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return NetworkCause::TlsUntrusted;
    case CURLE_TOO_MANY_REDIRECTS:
      return NetworkCause::TooManyRedirects;
    default:
      return NetworkCause::Other;
  }
}

HttpResponse HttpDownload::Impl::currentResponse() {
  HttpResponse response;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
  response.etag = finalHeader(easy, "ETag");
  response.lastModified = finalHeader(easy, "Last-Modified");
  response.contentRange = finalHeader(easy, "Content-Range");
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
    response.expectedContentLength = length;
  curl_off_t retryAfter = 0;  // seconds or a date, as seconds from now; 0 when absent
  if (curl_easy_getinfo(easy, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0)
    response.retryAfterSeconds = static_cast<double>(retryAfter);
  return response;
}

std::string HttpDownload::Impl::effectiveURL() {
  char* effective = nullptr;
  if (easy && curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
    return effective;
  return request.url;
}

void HttpDownload::Impl::countRedirects() {
  long count = 0;
  if (easy && curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &count) == CURLE_OK) result.redirects = count;
}

void HttpDownload::Impl::end(TransferEnd kind, std::string description) {
  countRedirects();
  teardownTransfer();
  ended = true;
  result.kind = kind;
  result.description = std::move(description);
  delegate->didEnd(result);
}

void HttpDownload::Impl::fail(CURLcode code, std::string description) {
  result.curlCode = code;
  result.cause = NetworkCause::Other;
  end(TransferEnd::NetworkError, std::move(description));
}

HttpDownload::HttpDownload(HttpRequest request, BodySink* sink, HttpDownloadDelegate* delegate)
    : impl_(std::make_unique<Impl>(std::move(request), sink, delegate)) {
  // The owner has not stored this object yet: nothing may reach the
  // delegate before the loop runs.
  impl_->startSource = g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        static_cast<Impl*>(data)->start();
        return G_SOURCE_REMOVE;
      },
      impl_.get(), nullptr);
}

HttpDownload::~HttpDownload() {
  impl_->cancel();
  *impl_->alive = false;
}

void HttpDownload::cancel() { impl_->cancel(); }
bool HttpDownload::ended() const { return impl_->ended; }

}  // namespace network
