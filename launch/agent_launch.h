// Starting the install agent through the shell and waiting for it.
#pragma once

#include <string>
#include <vector>

#include "hostenv/report.h"

// Appends the agent's arguments after its script, each quoted for the
// shell, to `launchCommand` ("sh <script>"), runs it and waits. True when the shell ran;
// the agent's own exit status is not looked at.
bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& launchCommand,
                              const std::string& bundleLocation, int argc,
                              const char* const* argv, ErrorCallback callback);

// What the agent is started with on every road: its script, then
// "-installbundle" and <bundleLocation>/bundle.zip, then the user's arguments.
std::vector<std::string> agentArguments(const std::string& script, const std::string& bundleLocation,
                                        const std::vector<std::string>& userArguments);
