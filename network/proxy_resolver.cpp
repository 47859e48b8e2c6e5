#include "network/proxy_resolver.h"

#include <gio/gio.h>

#include <cstdlib>
#include <cstring>

namespace network {

bool environmentNamesProxy() {
  for (const char* name :
       {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

bool environmentProxiesHttpOnly() {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  return set("http_proxy") && !set("https_proxy") && !set("HTTPS_PROXY") && !set("all_proxy") && !set("ALL_PROXY");
}

bool inDesktopSession() {
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  return desktop && *desktop;
}

namespace {

std::string inCurlsForm(const char* proxy) {
  if (std::strcmp(proxy, "direct://") == 0) return "";
  // GLib leaves a SOCKS proxy's version open; libcurl needs one. Version 5
  // with names resolved by the proxy is what GLib itself tries first.
  if (g_str_has_prefix(proxy, "socks://")) return std::string("socks5h://") + (proxy + std::strlen("socks://"));
  return proxy;
}

}  // namespace

// Owned by the look-up in flight, which always calls back (also after a
// cancel); the ProxyLookup only points at it until then.
struct ProxyLookup::Pending {
  ProxyLookup* owner;
  std::function<void(std::optional<std::string>)> done;
  GCancellable* cancellable = g_cancellable_new();

  Pending(ProxyLookup* o, std::function<void(std::optional<std::string>)> d) : owner(o), done(std::move(d)) {}
  ~Pending() { g_object_unref(cancellable); }

  static void finished(GObject* resolver, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<Pending*>(data);
    GError* error = nullptr;
    gchar** proxies = g_proxy_resolver_lookup_finish(G_PROXY_RESOLVER(resolver), result, &error);
    std::optional<std::string> answer;
    if (proxies && proxies[0]) answer = inCurlsForm(proxies[0]);
    g_strfreev(proxies);
    g_clear_error(&error);
    auto done = std::move(self->done);
    bool wanted = self->owner != nullptr;
    if (wanted) self->owner->pending_ = nullptr;
    delete self;
    if (wanted) done(std::move(answer));  // may destroy the ProxyLookup
  }
};

ProxyLookup::ProxyLookup(const std::string& url, std::function<void(std::optional<std::string>)> done)
    : pending_(new Pending(this, std::move(done))) {
  g_proxy_resolver_lookup_async(g_proxy_resolver_get_default(), url.c_str(), pending_->cancellable,
                                &Pending::finished, pending_);
}

ProxyLookup::~ProxyLookup() {
  if (!pending_) return;
  pending_->owner = nullptr;
  pending_->done = nullptr;
  g_cancellable_cancel(pending_->cancellable);
}

}  // namespace network
