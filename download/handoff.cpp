#include "download/handoff.h"

#include <cstdlib>

#include "download/download_application.h"
#include "provisioning/agent_cache.h"
#include "provisioning/build_constants.h"
#include "provisioning/mirror_list.h"

std::string downloadTo;
std::string downloadFrom;
std::vector<std::string> downloadMirrors;

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
  if (!callback) callback = report_error_main;
  downloadMirrors.clear();
  if (!address) {  // the organisation's own mirrors, then the vendor's
    for (const std::string& base : organisationMirrors(callback)) downloadMirrors.push_back(base + installAgentFileName);
    for (const std::string& url : installAgentMirrorUrls()) downloadMirrors.push_back(url);
  }
  // The callback goes as a parameter: the application main has no place for it.
  return runDownloadApplication(cache, userArguments, callback);
}
