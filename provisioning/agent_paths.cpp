#include "provisioning/agent_paths.h"

#include <cstdlib>

#include "platform/file_manager.h"
#include "platform/main_bundle.h"
#include "provisioning/build_constants.h"

std::string getInstallAgentExecutable(std::string agentDir) {
  if (!agentDir.empty() && agentDir.back() != pathSeparator[0]) agentDir += pathSeparator;
  return agentDir + "install";
}

std::string getInstallAgentCacheBase() {
  const char* home = std::getenv("HOME");
  std::string dir = (home && *home) ? home : "/tmp";
  if (dir.size() >= 2 && dir.back() != pathSeparator[0]) dir += pathSeparator;
  return dir;
}

std::string getInstallAgentCacheDir() { return getInstallAgentCacheBase() + installAgentCacheSubdir; }

bool holdsInstallScript(const std::string& agentDir) {
  return platform::isRegularFile(getInstallAgentExecutable(agentDir));
}

std::string installAgentDirOnDisk(const std::string& cacheDir) {
  std::string agentDir = cacheDir + installAgentDirName + pathSeparator;
  return holdsInstallScript(agentDir) ? agentDir : std::string();
}

std::string installAgentDirOnDisk() { return installAgentDirOnDisk(getInstallAgentCacheDir()); }

std::string getDefaultInstallAgentLocation() {
  auto bundle = platform::mainBundle();
  if (!bundle || bundle->resourcePath.empty()) return std::string();
  const std::string& res = bundle->resourcePath;
  return res + (res.back() == '/' ? "" : "/") + installAgentZipName;
}
