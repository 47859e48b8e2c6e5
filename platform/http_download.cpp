#include "platform/http_download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

namespace {

constexpr size_t kBufferSize = 256 * 1024;
// Just below GDK's redraw (G_PRIORITY_HIGH_IDLE + 20): on a fast link the
// socket is ready on every turn of the loop and would keep the window from
// painting until the body has arrived.
constexpr int kTransferPriority = G_PRIORITY_HIGH_IDLE + 30;
constexpr const char* kUserAgent = "bootstrap-installer/1.0";

bool globalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

bool isSuccess(long status) { return status >= 200 && status < 300; }

// "Name: value\r\n" -> value, when the name matches (case-insensitively).
std::optional<std::string> headerValue(const std::string& line, const char* name) {
  size_t len = std::strlen(name);
  if (line.size() <= len || line[len] != ':' || strncasecmp(line.data(), name, len) != 0)
    return std::nullopt;
  size_t begin = len + 1;
  while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
  size_t end = line.size();
  while (end > begin && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
  return line.substr(begin, end - begin);
}

}  // namespace

struct HttpDownload::Impl {
  std::string url;
  std::string destination;
  bool deletesFileUponFailure;
  HttpDownloadDelegate* delegate;
  HttpDownloadTimeouts timeouts;

  // Cleared when the object goes away, so code that just called the
  // delegate can tell whether it may still touch anything.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  bool ended = false;

  guint startSource = 0;
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  std::map<curl_socket_t, guint> watches;
  guint timerSource = 0;
  bool tearingDown = false;
  char curlError[CURL_ERROR_SIZE] = {};

  // The temporary file and its write buffer.
  std::string tempPath;
  int fd = -1;
  std::vector<char> buffer;
  uint64_t bytesWritten = 0;

  // Collected inside libcurl's callbacks, delivered once it has returned.
  std::vector<std::string> headers;  // of the latest response only
  long headerStatus = 0;
  bool responseWaiting = false;  // first body chunk held back for the response
  bool responseDelivered = false;
  uint64_t pendingBytes = 0;
  int writeErrno = 0;
  long rejectedStatus = 0;  // a final non-2xx response whose body was refused

  Impl(std::string u, std::string d, bool del, HttpDownloadDelegate* dg, HttpDownloadTimeouts t)
      : url(std::move(u)), destination(std::move(d)), deletesFileUponFailure(del), delegate(dg),
        timeouts(t) {}

  // --- lifecycle ----------------------------------------------------------

  void start();
  bool setUpTransfer(std::string* problem);
  void teardownTransfer();
  void cancel();

  // --- libcurl plumbing -----------------------------------------------------

  static int onSocket(CURL*, curl_socket_t s, int what, void* userp, void*);
  static int onTimer(CURLM*, long timeoutMs, void* userp);
  static gboolean onFdReady(gint fd, GIOCondition condition, gpointer data);
  static gboolean onTimeout(gpointer data);
  static size_t onHeader(char* data, size_t size, size_t count, void* userp);
  static size_t onWrite(char* data, size_t size, size_t count, void* userp);

  void drive(curl_socket_t s, int events);
  void deliverAfterAction();
  void complete(CURLcode result);

  // --- file and delegate ----------------------------------------------------

  bool appendBody(const char* data, size_t length);
  bool flushBuffer();
  void discardTemp();
  HttpResponse currentResponse();
  std::string effectiveURL();
  void failHttpStatus(long status);
  void fail(const std::string& description);
};

// --- lifecycle ---------------------------------------------------------------

void HttpDownload::Impl::start() {
  startSource = 0;
  std::string problem;
  if (!setUpTransfer(&problem)) fail(problem);
}

bool HttpDownload::Impl::setUpTransfer(std::string* problem) {
  if (!globalInit()) {
    *problem = "cannot initialise the network library";
    return false;
  }
  CURLU* parsed = curl_url();
  CURLUcode urc = parsed ? curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
  curl_url_cleanup(parsed);
  if (urc != CURLUE_OK) {
    *problem = "invalid URL \"" + url + "\": " + curl_url_strerror(urc);
    return false;
  }

  // Same directory, so the final rename is atomic; mode 0666 less the
  // umask, like any file the user creates.
  std::string tmpl = destination + ".partXXXXXX";
  fd = g_mkstemp_full(tmpl.data(), O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0) {
    *problem = "cannot create a file beside " + destination + ": " + std::strerror(errno);
    return false;
  }
  tempPath = tmpl;
  buffer.reserve(kBufferSize);

  multi = curl_multi_init();
  easy = curl_easy_init();
  if (!multi || !easy) {
    *problem = "cannot start the transfer: out of memory";
    return false;
  }
  curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Impl::onSocket);
  curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Impl::onTimer);
  curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);

  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curlError);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kBufferSize));
  if (timeouts.connectSeconds > 0)
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
  if (timeouts.stallSeconds > 0) {
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, timeouts.stallSeconds);
  }
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::onWrite);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

  // Only arms a timer; the transfer itself begins on the loop.
  CURLMcode mrc = curl_multi_add_handle(multi, easy);
  if (mrc != CURLM_OK) {
    *problem = std::string("cannot start the transfer: ") + curl_multi_strerror(mrc);
    return false;
  }
  return true;
}

void HttpDownload::Impl::teardownTransfer() {
  tearingDown = true;
  if (multi && easy) curl_multi_remove_handle(multi, easy);
  if (easy) curl_easy_cleanup(easy);
  if (multi) curl_multi_cleanup(multi);
  easy = nullptr;
  multi = nullptr;
  for (auto& [sock, id] : watches) g_source_remove(id);
  watches.clear();
  if (timerSource) g_source_remove(timerSource);
  timerSource = 0;
  if (startSource) g_source_remove(startSource);
  startSource = 0;
}

void HttpDownload::Impl::cancel() {
  if (ended) return;
  ended = true;
  teardownTransfer();
  discardTemp();
}

// --- libcurl plumbing ----------------------------------------------------------

int HttpDownload::Impl::onSocket(CURL*, curl_socket_t s, int what, void* userp, void*) {
  auto* self = static_cast<Impl*>(userp);
  auto it = self->watches.find(s);
  if (it != self->watches.end()) {
    g_source_remove(it->second);
    self->watches.erase(it);
  }
  if (what == CURL_POLL_REMOVE || self->tearingDown) return 0;
  int condition = G_IO_ERR | G_IO_HUP;
  if (what & CURL_POLL_IN) condition |= G_IO_IN;
  if (what & CURL_POLL_OUT) condition |= G_IO_OUT;
  self->watches[s] = g_unix_fd_add_full(kTransferPriority, s, static_cast<GIOCondition>(condition),
                                        &Impl::onFdReady, self, nullptr);
  return 0;
}

int HttpDownload::Impl::onTimer(CURLM*, long timeoutMs, void* userp) {
  auto* self = static_cast<Impl*>(userp);
  if (self->timerSource) g_source_remove(self->timerSource);
  self->timerSource = 0;
  // Even a 0 ms timeout goes through the loop: libcurl must not be
  // re-entered from its own callback.
  if (timeoutMs >= 0 && !self->tearingDown)
    self->timerSource = g_timeout_add_full(kTransferPriority, static_cast<guint>(timeoutMs),
                                           &Impl::onTimeout, self, nullptr);
  return 0;
}

gboolean HttpDownload::Impl::onFdReady(gint fd, GIOCondition condition, gpointer data) {
  int events = 0;
  if (condition & (G_IO_IN | G_IO_HUP)) events |= CURL_CSELECT_IN;
  if (condition & G_IO_OUT) events |= CURL_CSELECT_OUT;
  if (condition & G_IO_ERR) events |= CURL_CSELECT_ERR;
  // May destroy *data; the watch is then already removed.
  static_cast<Impl*>(data)->drive(fd, events);
  return G_SOURCE_CONTINUE;
}

gboolean HttpDownload::Impl::onTimeout(gpointer data) {
  auto* self = static_cast<Impl*>(data);
  self->timerSource = 0;  // this source ends now; libcurl may arm a new one
  self->drive(CURL_SOCKET_TIMEOUT, 0);
  return G_SOURCE_REMOVE;
}

size_t HttpDownload::Impl::onHeader(char* data, size_t size, size_t count, void* userp) {
  auto* self = static_cast<Impl*>(userp);
  size_t length = size * count;
  if (self->responseDelivered) return length;  // trailers
  std::string line(data, length);
  if (line.compare(0, 5, "HTTP/") == 0) {
    // A new response (after a redirect, a 100 or a proxy's CONNECT):
    // only the final one counts.
    self->headers.clear();
    size_t space = line.find(' ');
    self->headerStatus = space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
  } else {
    self->headers.push_back(std::move(line));
  }
  return length;
}

size_t HttpDownload::Impl::onWrite(char* data, size_t size, size_t count, void* userp) {
  auto* self = static_cast<Impl*>(userp);
  size_t length = size * count;
  if (length == 0) return 0;
  if (!self->responseDelivered) {
    if (!isSuccess(self->headerStatus)) {
      // An error page is never saved; stop reading it.
      self->rejectedStatus = self->headerStatus;
      return CURL_WRITEFUNC_ERROR;
    }
    // Hold the first chunk until the delegate has seen the response (and
    // perhaps cancelled); libcurl delivers it again when resumed.
    self->responseWaiting = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (!self->appendBody(data, length)) return CURL_WRITEFUNC_ERROR;
  self->pendingBytes += length;
  return length;
}

void HttpDownload::Impl::drive(curl_socket_t s, int events) {
  if (!multi) return;
  int running = 0;
  curl_multi_socket_action(multi, s, events, &running);
  deliverAfterAction();
}

// Everything that happened inside libcurl, told to the delegate in order.
// After each delegate call the object may be cancelled or destroyed.
void HttpDownload::Impl::deliverAfterAction() {
  std::shared_ptr<bool> isAlive = alive;
  if (ended) return;

  if (responseWaiting) {
    responseWaiting = false;
    responseDelivered = true;
    delegate->didReceiveResponse(currentResponse());
    if (!*isAlive || ended) return;
    CURLcode rc = curl_easy_pause(easy, CURLPAUSE_CONT);
    if (rc != CURLE_OK && !writeErrno) {
      fail(std::string("transfer failed: ") + curl_easy_strerror(rc));
      return;
    }
  }

  if (pendingBytes > 0) {
    uint64_t length = pendingBytes;
    pendingBytes = 0;
    delegate->didReceiveDataOfLength(length);
    if (!*isAlive || ended) return;
  }

  if (writeErrno) {
    // libcurl could go on reading after a refused chunk; stop here.
    complete(CURLE_WRITE_ERROR);
    return;
  }

  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
    if (msg->msg == CURLMSG_DONE) {
      complete(msg->data.result);
      return;
    }
  }
}

void HttpDownload::Impl::complete(CURLcode result) {
  std::shared_ptr<bool> isAlive = alive;
  if (writeErrno) {
    fail("cannot write " + destination + ": " + std::strerror(writeErrno));
    return;
  }
  if (rejectedStatus) {
    failHttpStatus(rejectedStatus);
    return;
  }
  if (result != CURLE_OK) {
    std::string description = curl_easy_strerror(result);
    if (curlError[0]) description += std::string(" (") + curlError + ")";
    fail(description);
    return;
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (!isSuccess(status)) {
    failHttpStatus(status);
    return;
  }
  if (!responseDelivered) {
    // No body at all: the response still comes first.
    responseDelivered = true;
    delegate->didReceiveResponse(currentResponse());
    if (!*isAlive || ended) return;
  }

  teardownTransfer();
  if (!flushBuffer()) {
    fail("cannot write " + destination + ": " + std::strerror(writeErrno));
    return;
  }
  int closeResult = close(fd);
  fd = -1;
  if (closeResult != 0) {
    fail("cannot write " + destination + ": " + std::strerror(errno));
    return;
  }
  if (rename(tempPath.c_str(), destination.c_str()) != 0) {
    fail("cannot move the download to " + destination + ": " + std::strerror(errno));
    return;
  }
  tempPath.clear();
  ended = true;
  delegate->downloadDidFinish();
}

// --- file and delegate ---------------------------------------------------------

bool HttpDownload::Impl::appendBody(const char* data, size_t length) {
  if (buffer.size() + length > kBufferSize && !flushBuffer()) return false;
  if (length < kBufferSize) {
    buffer.insert(buffer.end(), data, data + length);
    bytesWritten += length;
    return true;
  }
  // A chunk as big as the buffer skips the copy.
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      writeErrno = errno;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
    bytesWritten += static_cast<uint64_t>(n);
  }
  return true;
}

bool HttpDownload::Impl::flushBuffer() {
  size_t done = 0;
  while (done < buffer.size()) {
    ssize_t n = write(fd, buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      writeErrno = errno;
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(done));
      return false;
    }
    done += static_cast<size_t>(n);
  }
  buffer.clear();
  return true;
}

void HttpDownload::Impl::discardTemp() {
  if (fd >= 0) close(fd);
  fd = -1;
  buffer.clear();
  if (!tempPath.empty()) unlink(tempPath.c_str());
  tempPath.clear();
}

HttpResponse HttpDownload::Impl::currentResponse() {
  HttpResponse response;
  response.status = headerStatus;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
  for (const std::string& line : headers) {
    if (auto value = headerValue(line, "ETag")) {
      response.etag = std::move(value);
      break;
    }
  }
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
    response.expectedContentLength = length;
  return response;
}

std::string HttpDownload::Impl::effectiveURL() {
  char* effective = nullptr;
  if (easy && curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
    return effective;
  return url;
}

void HttpDownload::Impl::failHttpStatus(long status) {
  std::shared_ptr<bool> isAlive = alive;
  std::string description = "HTTP status " + std::to_string(status) + " from " + effectiveURL();
  if (status == 401) {
    bool challenged = false;
    for (const std::string& line : headers) challenged |= headerValue(line, "WWW-Authenticate").has_value();
    if (challenged) {
      delegate->didReceiveAuthenticationChallenge();
      if (!*isAlive || ended) return;
    }
  }
  fail(description);
}

void HttpDownload::Impl::fail(const std::string& description) {
  teardownTransfer();
  if (!deletesFileUponFailure && fd >= 0) {
    flushBuffer();
    bool wroteSomething = bytesWritten > 0;
    close(fd);
    fd = -1;
    // Keep what arrived for the caller; an empty file would only clobber
    // whatever was there before.
    if (wroteSomething && rename(tempPath.c_str(), destination.c_str()) == 0) tempPath.clear();
  }
  discardTemp();
  ended = true;
  delegate->didFailWithError(DownloadError{description, url});
}

// --- public face -----------------------------------------------------------------

HttpDownload::HttpDownload(std::string url, std::string destination, bool deletesFileUponFailure,
                           HttpDownloadDelegate* delegate, HttpDownloadTimeouts timeouts)
    : impl_(std::make_unique<Impl>(std::move(url), std::move(destination), deletesFileUponFailure,
                                   delegate, timeouts)) {
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

}  // namespace platform
