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
  std::vector<std::string> fixed = agentArguments(agentPath, bundleLocation, {});
  std::string commandLine = launchCommand + " " + shell_word(fixed[1]) + " " + shell_word(fixed[2]);
  if (argc > 1) commandLine += " " + argv2cmdline(argc, argv);
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
