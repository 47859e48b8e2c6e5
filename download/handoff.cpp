#include "download/handoff.h"

#include <cstdlib>

#include "download/download_application.h"
#include "provisioning/build_constants.h"

std::string downloadTo;
std::string downloadFrom;

namespace {
ApplicationMain testApplicationMain = nullptr;
}

void setApplicationMainForTesting(ApplicationMain main) { testApplicationMain = main; }

int CallNSApplicationMain(int /*argc*/, const char** /*argv*/) {
  return testApplicationMain ? testApplicationMain() : runDownloadApplication();
}

HandOffResult downloadInstallAgentFromQV(const char* destination, ErrorCallback /*callback*/) {
  const char* address = std::getenv("QV_INTERNAL_INSTALL_AGENT_URL");
  downloadTo = destination;
  downloadFrom = address ? address : installAgentUrl;
  int status = CallNSApplicationMain(0, nullptr);
  switch (status) {
    case 0: return HandOffResult::Failed;
    case kApplicationStartedAgent: return HandOffResult::AgentStarted;
    case kApplicationLeftArchive: return HandOffResult::ArchiveLeft;
    default: return HandOffResult::AgentReady;
  }
}
