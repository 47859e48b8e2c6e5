#include "platform/process_env.h"

#include <signal.h>

#include <cstdlib>

namespace platform {

std::string temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir ? std::string(dir) : std::string();
}

namespace {
void carryOn(int) {}
}  // namespace

void catchFatalIoSignals() {
  struct sigaction action {};
  action.sa_handler = carryOn;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
  sigaction(SIGXFSZ, &action, nullptr);
}

}  // namespace platform
