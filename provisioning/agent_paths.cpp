#include "provisioning/agent_paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

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

namespace {
const std::string kNoScript = "The install agent archive has no install script at its top level";

// Why `agentDir` holds no install script, in the user's words; nothing when
// it does: a regular file, or a link (as `zip -y` keeps one) that resolves
// to a regular file below the folder.
std::optional<std::string> scriptProblem(const std::string& agentDir) {
  const std::string script = getInstallAgentExecutable(agentDir);
  const std::string notRegular = kNoScript + " (its install is not a regular file)";
  struct stat st;
  if (lstat(script.c_str(), &st) != 0) return kNoScript;
  if (S_ISREG(st.st_mode)) return std::nullopt;
  if (!S_ISLNK(st.st_mode)) return notRegular;
  char target[PATH_MAX];
  ssize_t length = readlink(script.c_str(), target, sizeof target);
  std::string to = " (to " + std::string(target, static_cast<size_t>(std::max<ssize_t>(length, 0))) + ")";
  std::string resolved = platform::resolvePath(script), folder = platform::resolvePath(agentDir);
  if (resolved.empty()) return "The install agent archive's install links to nothing" + to;
  if (folder.empty() || resolved.compare(0, folder.size() + 1, folder + pathSeparator) != 0)
    return "The install agent archive's install links outside its folder" + to;
  return platform::isRegularFile(resolved) ? std::nullopt : std::optional<std::string>(notRegular);
}
}  // namespace

bool holdsInstallScript(const std::string& agentDir) { return !scriptProblem(agentDir); }

std::string missingInstallScript(const std::string& agentDir) {
  std::optional<std::string> problem = scriptProblem(agentDir);
  if (!problem || *problem != kNoScript) return problem.value_or(std::string());
  struct stat st;
  for (const std::string& name : platform::directoryEntries(agentDir)) {
    std::string folder = agentDir + pathSeparator + name;
    if (lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && holdsInstallScript(folder))
      return kNoScript + ", but " + name + "/install: the folder " + name + " was zipped instead of its contents";
  }
  return kNoScript;
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
