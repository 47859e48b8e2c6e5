#include "platform/termination.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>

namespace platform {

namespace {

bool requested = false;
std::function<void()>& handler() {
  static std::function<void()> h;
  return h;
}

gboolean onSignal(gpointer) {
  requested = true;
  if (handler()) handler()();
  return G_SOURCE_CONTINUE;
}

}  // namespace

void watchTerminationSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) g_unix_signal_add(sig, onSignal, nullptr);
}

bool terminationRequested() {
  // GLib notes the signal at once but tells us through the main context.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  return requested;
}

void setTerminationHandler(std::function<void()> h) { handler() = std::move(h); }

}  // namespace platform
