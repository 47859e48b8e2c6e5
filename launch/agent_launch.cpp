#include "launch/agent_launch.h"

#include "hostenv/location.h"
#include "platform/task.h"

std::vector<std::string> agentArguments(const std::string& script, const std::string& bundleLocation,
                                        const std::vector<std::string>& userArguments) {
  std::vector<std::string> arguments = {script, "-installbundle", bundleLocation + pathSeparator + "bundle.zip"};
  arguments.insert(arguments.end(), userArguments.begin(), userArguments.end());
  return arguments;
}

std::optional<pid_t> startInstallAgent(const std::string& agentPath, const std::string& bundleLocation,
                                       const std::vector<std::string>& userArguments) {
  // The child gets the usual signal defaults; this process only waits meanwhile.
  return platform::startProcess("/bin/sh", agentArguments(agentPath, bundleLocation, userArguments));
}

bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& bundleLocation,
                              const std::vector<std::string>& userArguments, ErrorCallback callback) {
  std::optional<pid_t> shell = startInstallAgent(agentPath, bundleLocation, userArguments);
  if (!shell || platform::waitForProcess(*shell) == -1) {
    callback("Failed to start the instal agent", true);
    return false;
  }
  return true;
}
