// The proxy the desktop's settings name for an address, asked of GLib's
// default proxy resolver. libcurl reads the proxy variables of the
// environment itself; the desktop is asked only when none of them is set.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace network {

// Whether a variable libcurl takes a proxy (or the exceptions) from is set
// and not empty: http_proxy, https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY,
// no_proxy, NO_PROXY.
bool environmentNamesProxy();

// Whether the environment names a proxy for http addresses only
// (http_proxy), none for https ones: https_proxy, HTTPS_PROXY, all_proxy
// and ALL_PROXY are unset or empty. libcurl then reaches https directly.
bool environmentProxiesHttpOnly();

// Whether a desktop session (XDG_CURRENT_DESKTOP) could name a proxy. Outside
// one there are no desktop settings to honour, and asking would only have
// GLib's settings write their files below the home directory.
bool inDesktopSession();

// One asynchronous look-up on the default main context. `done` gets the
// first answer in libcurl's form: "" for a direct connection, else the
// proxy's address; nullopt when the look-up failed. Destroying the object
// cancels the look-up: `done` is never called after that, and `done` may
// destroy the object.
class ProxyLookup {
 public:
  ProxyLookup(const std::string& url, std::function<void(std::optional<std::string>)> done);
  ~ProxyLookup();
  ProxyLookup(const ProxyLookup&) = delete;
  ProxyLookup& operator=(const ProxyLookup&) = delete;

 private:
  struct Pending;
  Pending* pending_;
};

}  // namespace network
