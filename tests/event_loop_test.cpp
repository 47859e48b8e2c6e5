#include <gtest/gtest.h>

#include <string>

#include "platform/event_loop.h"

using platform::EventLoop;

TEST(EventLoop, RunsCallsInOrderUntilStopped) {
  EventLoop loop;
  std::string trace;
  loop.callAfter(0.05, [&] {
    trace += "late ";
    loop.stop();
  });
  loop.callSoon([&] {
    trace += "soon ";
    loop.callSoon([&] { trace += "nested "; });
  });
  EventLoop::CallId cancelled = loop.callAfter(0.01, [&] { trace += "cancelled "; });
  loop.cancelCall(cancelled);
  loop.run();
  EXPECT_EQ(trace, "soon nested late ");
  loop.cancelCall(cancelled);  // long gone: nothing happens
}

TEST(EventLoop, StopBeforeRunReturnsAtOnceAndOnlyOnce) {
  EventLoop loop;
  loop.stop();
  loop.run();  // must not block
  int ran = 0;
  loop.callSoon([&] {
    ++ran;
    loop.stop();
  });
  loop.run();  // the earlier stop is used up: this one runs the call
  EXPECT_EQ(ran, 1);
}

TEST(EventLoop, PendingCallsDieWithTheLoop) {
  bool ran = false;
  {
    EventLoop loop;
    loop.callAfter(0.01, [&] { ran = true; });
  }
  EventLoop other;
  other.callAfter(0.05, [&] { other.stop(); });
  other.run();
  EXPECT_FALSE(ran);
}
