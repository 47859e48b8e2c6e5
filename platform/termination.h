// SIGINT, SIGTERM and SIGHUP do not kill the installer outright: they are
// recorded, and a handler runs on the main loop, so that a run cancels its
// download and removes its temporary directory before it ends.
#pragma once

#include <functional>

namespace platform {

void watchTerminationSignals();
// Whether one of those signals has arrived (delivering any pending one first).
bool terminationRequested();
// Runs on the main loop when such a signal arrives; an empty function clears it.
void setTerminationHandler(std::function<void()> handler);

}  // namespace platform
