// Starting the install agent through the shell and waiting for it.
#pragma once

#include <string>

#include "hostenv/report.h"

// Appends " -installbundle <bundleLocation>/bundle.zip" and the user's
// arguments to `launchCommand`, runs it and waits. True when the shell ran;
// the agent's own exit status is not looked at.
bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& launchCommand,
                              const std::string& bundleLocation, int argc,
                              const char* const* argv, ErrorCallback callback);
