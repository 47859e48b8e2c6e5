#include "platform/event_loop.h"

#include <glib.h>

#include <map>
#include <memory>

namespace platform {

struct EventLoop::Impl {
  GMainLoop* loop = nullptr;
  bool stopRequested = false;
  // Pending calls by GLib source id; a call is removed before it runs, so
  // cancelCall() on a finished call does nothing.
  std::map<CallId, std::function<void()>> calls;
};

namespace {

struct CallContext {
  EventLoop::Impl* impl;
  EventLoop::CallId id;
};

}  // namespace

EventLoop::EventLoop() : impl_(new Impl) {
  impl_->loop = g_main_loop_new(nullptr, FALSE);
}

EventLoop::~EventLoop() {
  for (auto& [id, fn] : impl_->calls) g_source_remove(id);
  g_main_loop_unref(impl_->loop);
  delete impl_;
}

void EventLoop::run() {
  if (!impl_->stopRequested) g_main_loop_run(impl_->loop);
  impl_->stopRequested = false;
}

void EventLoop::stop() {
  impl_->stopRequested = !g_main_loop_is_running(impl_->loop);
  g_main_loop_quit(impl_->loop);
}

static EventLoop::CallId schedule(EventLoop::Impl* impl, guint delayMs, bool idle,
                                  std::function<void()> fn) {
  auto* ctx = new CallContext{impl, 0};
  GSourceFunc dispatch = [](gpointer data) -> gboolean {
    auto* c = static_cast<CallContext*>(data);
    auto it = c->impl->calls.find(c->id);
    if (it != c->impl->calls.end()) {
      std::function<void()> f = std::move(it->second);
      c->impl->calls.erase(it);
      f();
    }
    return G_SOURCE_REMOVE;
  };
  GDestroyNotify release = [](gpointer data) { delete static_cast<CallContext*>(data); };
  guint id = idle ? g_idle_add_full(G_PRIORITY_DEFAULT, dispatch, ctx, release)
                  : g_timeout_add_full(G_PRIORITY_DEFAULT, delayMs, dispatch, ctx, release);
  ctx->id = id;
  impl->calls.emplace(id, std::move(fn));
  return id;
}

EventLoop::CallId EventLoop::callSoon(std::function<void()> fn) {
  return schedule(impl_, 0, true, std::move(fn));
}

EventLoop::CallId EventLoop::callAfter(double seconds, std::function<void()> fn) {
  guint ms = seconds <= 0 ? 0 : static_cast<guint>(seconds * 1000.0 + 0.5);
  return schedule(impl_, ms, false, std::move(fn));
}

void EventLoop::cancelCall(CallId id) {
  auto it = impl_->calls.find(id);
  if (it == impl_->calls.end()) return;
  impl_->calls.erase(it);
  g_source_remove(id);
}

void iterateUntil(const std::function<bool()>& done, double seconds) {
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  GMainContext* ctx = g_main_context_default();
  while (!done() && g_get_monotonic_time() < deadline) {
    // Wake at least every 10 ms to look at the deadline.
    GSource* tick = g_timeout_source_new(10);
    g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(tick, ctx);
    g_main_context_iteration(ctx, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
  }
}

}  // namespace platform
