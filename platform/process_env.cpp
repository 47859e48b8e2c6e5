#include "platform/process_env.h"

#include <csignal>
#include <cstdlib>

namespace platform {

std::string temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir ? std::string(dir) : std::string();
}

void ignoreFatalIoSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void restoreFatalIoSignals() {
  std::signal(SIGPIPE, SIG_DFL);
  std::signal(SIGXFSZ, SIG_DFL);
}

}  // namespace platform
