// Starting the install agent: one argument vector for /bin/sh, on every road.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "hostenv/report.h"

// What the agent is started with on every road: its script, then
// "-installbundle" and <bundleLocation>/bundle.zip, then the user's arguments.
std::vector<std::string> agentArguments(const std::string& script, const std::string& bundleLocation,
                                        const std::vector<std::string>& userArguments);

// Starts /bin/sh with agentArguments, each one argument as it is: no shell
// parses a path or an argument, whatever the shell or the locale. The
// child's pid, or nothing when the shell could not be started.
std::optional<pid_t> startInstallAgent(const std::string& agentPath, const std::string& bundleLocation,
                                       const std::vector<std::string>& userArguments);

// Starts the agent so and waits for it. True when the shell ran; the
// agent's own exit status is not looked at.
bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& bundleLocation,
                              const std::vector<std::string>& userArguments, ErrorCallback callback);
