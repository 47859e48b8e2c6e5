// Drives libcurl's multi socket interface from the GLib main loop: one fd
// watch per socket libcurl names, one timer that libcurl re-arms. libcurl
// is only ever entered from the loop, never from inside its own callbacks.
#pragma once

#include <curl/curl.h>
#include <glib.h>

#include <functional>
#include <map>
#include <optional>

namespace network {

class CurlGlibDriver {
 public:
  // `afterAction` runs after every turn libcurl took; the owner reads
  // what happened then (and may destroy the driver from inside it).
  explicit CurlGlibDriver(std::function<void()> afterAction);
  ~CurlGlibDriver();
  CurlGlibDriver(const CurlGlibDriver&) = delete;
  CurlGlibDriver& operator=(const CurlGlibDriver&) = delete;

  bool valid() const { return multi_ != nullptr; }
  // Only arms a timer: the transfer itself begins on the loop.
  CURLMcode add(CURL* easy);
  void remove(CURL* easy);
  // The result of a transfer that has ended, once.
  std::optional<CURLcode> takeResult();

 private:
  static int onSocket(CURL*, curl_socket_t s, int what, void* userp, void*);
  static int onTimer(CURLM*, long timeoutMs, void* userp);
  static gboolean onFdReady(gint fd, GIOCondition condition, gpointer data);
  static gboolean onTimeout(gpointer data);
  void drive(curl_socket_t s, int events);

  std::function<void()> afterAction_;
  CURLM* multi_ = nullptr;
  std::map<curl_socket_t, guint> watches_;
  guint timer_ = 0;
  bool closing_ = false;
};

// Once per process, before the first handle.
bool curlGlobalInit();

}  // namespace network
