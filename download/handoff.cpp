#include "download/handoff.h"

#include <cstdlib>

#include "download/download_application.h"
#include "provisioning/agent_cache.h"
#include "provisioning/build_constants.h"

std::string downloadTo;
std::string downloadFrom;

HandOffResult CallNSApplicationMain(int argc, const char** argv) {
  AgentCache cache;
  return runDownloadApplication(cache, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc),
                                report_error_main);
}

HandOffResult downloadInstallAgentFromQV(const char* destination, AgentCache& cache,
                                         const std::vector<std::string>& userArguments, ErrorCallback callback) {
  const char* address = std::getenv("QV_INTERNAL_INSTALL_AGENT_URL");
  downloadTo = destination;
  downloadFrom = address ? address : installAgentUrl;
  // The callback goes as a parameter: the application main has no place for it.
  return runDownloadApplication(cache, userArguments, callback ? callback : report_error_main);
}
