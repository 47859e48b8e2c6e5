#include "provisioning/agent_paths.h"

#include <sys/stat.h>

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

std::string missingInstallScript(const std::string& agentDir) {
  if (holdsInstallScript(agentDir)) return std::string();
  const std::string prefix = "The install agent archive has no install script at its top level";
  struct stat st;
  if (lstat(getInstallAgentExecutable(agentDir).c_str(), &st) == 0)
    return prefix + " (its install is not a regular file)";
  for (const std::string& name : platform::directoryEntries(agentDir)) {
    std::string folder = agentDir + pathSeparator + name;
    if (lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && holdsInstallScript(folder))
      return prefix + ", but " + name + "/install: the folder " + name + " was zipped instead of its contents";
  }
  return prefix;
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
