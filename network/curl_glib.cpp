#include "network/curl_glib.h"

#include <glib-unix.h>

#include <mutex>

namespace network {

namespace {
// Just below GDK's redraw (G_PRIORITY_HIGH_IDLE + 20): on a fast link the
// socket is ready on every turn of the loop and would keep the window from
// painting until the body has arrived.
constexpr int kTransferPriority = G_PRIORITY_HIGH_IDLE + 30;
}  // namespace

bool curlGlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

CurlGlibDriver::CurlGlibDriver(std::function<void()> afterAction)
    : afterAction_(std::move(afterAction)), multi_(curl_multi_init()) {
  if (!multi_) return;
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlGlibDriver::onSocket);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlGlibDriver::onTimer);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlGlibDriver::~CurlGlibDriver() {
  closing_ = true;
  if (multi_) curl_multi_cleanup(multi_);
  for (auto& [sock, id] : watches_) g_source_remove(id);
  if (timer_) g_source_remove(timer_);
}

CURLMcode CurlGlibDriver::add(CURL* easy) { return curl_multi_add_handle(multi_, easy); }

void CurlGlibDriver::remove(CURL* easy) {
  closing_ = true;  // the socket callbacks this causes arm nothing new
  curl_multi_remove_handle(multi_, easy);
  closing_ = false;
}

std::optional<CURLcode> CurlGlibDriver::takeResult() {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi_, &left))
    if (msg->msg == CURLMSG_DONE) return msg->data.result;
  return std::nullopt;
}

int CurlGlibDriver::onSocket(CURL*, curl_socket_t s, int what, void* userp, void*) {
  auto* self = static_cast<CurlGlibDriver*>(userp);
  auto it = self->watches_.find(s);
  if (it != self->watches_.end()) {
    g_source_remove(it->second);
    self->watches_.erase(it);
  }
  if (what == CURL_POLL_REMOVE || self->closing_) return 0;
  int condition = G_IO_ERR | G_IO_HUP;
  if (what & CURL_POLL_IN) condition |= G_IO_IN;
  if (what & CURL_POLL_OUT) condition |= G_IO_OUT;
  self->watches_[s] = g_unix_fd_add_full(kTransferPriority, s, static_cast<GIOCondition>(condition),
                                         &CurlGlibDriver::onFdReady, self, nullptr);
  return 0;
}

int CurlGlibDriver::onTimer(CURLM*, long timeoutMs, void* userp) {
  auto* self = static_cast<CurlGlibDriver*>(userp);
  if (self->timer_) g_source_remove(self->timer_);
  self->timer_ = 0;
  // Even a 0 ms timeout goes through the loop: libcurl must not be
  // re-entered from its own callback.
  if (timeoutMs >= 0 && !self->closing_)
    self->timer_ = g_timeout_add_full(kTransferPriority, static_cast<guint>(timeoutMs),
                                      &CurlGlibDriver::onTimeout, self, nullptr);
  return 0;
}

gboolean CurlGlibDriver::onFdReady(gint fd, GIOCondition condition, gpointer data) {
  int events = 0;
  if (condition & (G_IO_IN | G_IO_HUP)) events |= CURL_CSELECT_IN;
  if (condition & G_IO_OUT) events |= CURL_CSELECT_OUT;
  if (condition & G_IO_ERR) events |= CURL_CSELECT_ERR;
  // May destroy the driver; its watches are then already removed.
  static_cast<CurlGlibDriver*>(data)->drive(fd, events);
  return G_SOURCE_CONTINUE;
}

gboolean CurlGlibDriver::onTimeout(gpointer data) {
  auto* self = static_cast<CurlGlibDriver*>(data);
  self->timer_ = 0;  // this source ends now; libcurl may arm a new one
  self->drive(CURL_SOCKET_TIMEOUT, 0);
  return G_SOURCE_REMOVE;
}

void CurlGlibDriver::drive(curl_socket_t s, int events) {
  int running = 0;
  curl_multi_socket_action(multi_, s, events, &running);
  afterAction_();
}

}  // namespace network
