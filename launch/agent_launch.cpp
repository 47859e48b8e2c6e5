#include "launch/agent_launch.h"

#include <exception>

#include "launch/shell_command.h"
#include "provisioning/build_constants.h"

bool fireInstallAgentWithArgs(const std::string& agentPath, const std::string& launchCommand,
                              const std::string& bundleLocation, int argc,
                              const char* const* argv, ErrorCallback callback) {
  std::string tail = " -installbundle ";
  tail += smart_quote(bundleLocation + pathSeparator + "bundle.zip");
  if (argc > 1) tail += " " + argv2cmdline(argc, argv);
  std::string commandLine = launchCommand + tail;
  try {
    if (call_system(agentPath.c_str(), commandLine.c_str()) == -1) {
      callback("Failed to start the instal agent", true);
      return false;
    }
  } catch (const std::exception&) {
    callback("Failed to start the instal agent", true);
    return false;
  }
  return true;
}
