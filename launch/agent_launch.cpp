#include "launch/agent_launch.h"

#include <exception>

#include "launch/shell_command.h"
#include "platform/process_env.h"
#include "provisioning/build_constants.h"

bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& launchCommand,
                              const std::string& bundleLocation, int argc,
                              const char* const* argv, ErrorCallback callback) {
  std::string tail = " -installbundle ";
  tail += smart_quote(bundleLocation + pathSeparator + "bundle.zip");
  if (argc > 1) tail += " " + argv2cmdline(argc, argv);
  std::string commandLine = launchCommand + tail;
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
