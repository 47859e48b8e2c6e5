#include "launch/agent_launch.h"

#include <exception>

#include "launch/shell_command.h"
#include "platform/process_env.h"
#include "hostenv/location.h"

std::vector<std::string> agentArguments(const std::string& script, const std::string& bundleLocation,
                                        const std::vector<std::string>& userArguments) {
  std::vector<std::string> arguments = {script, "-installbundle", bundleLocation + pathSeparator + "bundle.zip"};
  arguments.insert(arguments.end(), userArguments.begin(), userArguments.end());
  return arguments;
}

bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& launchCommand,
                              const std::string& bundleLocation, int argc,
                              const char* const* argv, ErrorCallback callback) {
  std::vector<std::string> user(argv + (argc > 1 ? 1 : argc), argv + argc);
  std::vector<std::string> arguments = agentArguments(agentPath, bundleLocation, user);
  std::string commandLine = launchCommand;
  for (size_t i = 1; i < arguments.size(); ++i) commandLine += " " + shell_word(arguments[i]);
  // The agent gets the usual signal defaults; this process only waits meanwhile.
  platform::restoreFatalIoSignals();
  int status;
  try {
    status = call_system(agentPath.c_str(), commandLine.c_str());
  } catch (const std::exception&) {
    status = -1;
  }
  platform::ignoreFatalIoSignals();
  if (status == -1) {
    callback("Failed to start the instal agent", true);
    return false;
  }
  return true;
}
