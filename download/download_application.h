// The download application: one controller, one window, the main loop.
#pragma once

#include <string>
#include <vector>

#include "hostenv/report.h"
#include "provisioning/agent_sourcing.h"

// Runs until the controller stops the loop.
HandOffResult runDownloadApplication(AgentCache& cache, const std::vector<std::string>& userArguments,
                                     ErrorCallback callback);
