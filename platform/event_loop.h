// The application's event loop: one thread, GLib's default main context
// (the one GTK draws on), so the window, timers and transfers share it.
#pragma once

#include <functional>

namespace platform {

class EventLoop {
 public:
  using CallId = unsigned;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Runs until stop(). A stop() that came before run() makes it return at once.
  void run();
  void stop();

  // Runs fn on the loop once, as soon as it is idle / after `seconds`.
  // The id can be passed to cancelCall() until fn has run.
  CallId callSoon(std::function<void()> fn);
  CallId callAfter(double seconds, std::function<void()> fn);
  void cancelCall(CallId id);

  struct Impl;  // opaque; public only so the GLib callbacks can name it

 private:
  Impl* impl_;
};

// Lets the loop run its pending work for at most `seconds`, or until `done`
// is true; for code that has to wait without a running loop (tests, teardown).
void iterateUntil(const std::function<bool()>& done, double seconds);

}  // namespace platform
