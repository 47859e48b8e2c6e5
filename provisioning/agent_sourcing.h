// Deciding where the install agent comes from and making it ready to run.
#pragma once

#include <string>

#include "hostenv/report.h"

struct SourcedAgent {
  std::string path;      // the agent's install script; empty on failure
  bool started = false;  // already started (by the download application)
};

// Shipped InstallAgent.zip, else the first InstallAgent_*.zip beside it,
// both unpacked into workDir; else the per-user cache, refreshed by download.
SourcedAgent sourceInstallAgent(const std::string& workDir, ErrorCallback callback);
