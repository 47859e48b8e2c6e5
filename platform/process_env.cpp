#include "platform/process_env.h"

#include <csignal>
#include <cstdlib>

namespace platform {

namespace {
std::vector<std::string>& arguments() {
  static std::vector<std::string> args;
  return args;
}
}  // namespace

std::string temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir ? std::string(dir) : std::string();
}

void setProcessArguments(int argc, const char* const* argv) {
  arguments().assign(argv, argv + (argc > 0 ? argc : 0));
}

const std::vector<std::string>& processArguments() { return arguments(); }

void ignoreFatalIoSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void restoreFatalIoSignals() {
  std::signal(SIGPIPE, SIG_DFL);
  std::signal(SIGXFSZ, SIG_DFL);
}

}  // namespace platform
