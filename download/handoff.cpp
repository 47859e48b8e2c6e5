#include "download/handoff.h"

#include <cstdlib>

#include "download/download_application.h"
#include "provisioning/build_constants.h"

std::string downloadTo;
std::string downloadFrom;

namespace {
ErrorCallback applicationCallback = report_error_main;
}

HandOffResult CallNSApplicationMain(int /*argc*/, const char** /*argv*/) {
  return runDownloadApplication(applicationCallback);
}

HandOffResult downloadInstallAgentFromQV(const char* destination, ErrorCallback callback) {
  const char* address = std::getenv("QV_INTERNAL_INSTALL_AGENT_URL");
  downloadTo = destination;
  downloadFrom = address ? address : installAgentUrl;
  applicationCallback = callback ? callback : report_error_main;
  return CallNSApplicationMain(0, nullptr);
}
