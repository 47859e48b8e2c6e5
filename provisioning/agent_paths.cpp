#include "provisioning/agent_paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

namespace {
const std::string kNoScript = "The install agent archive has no install script at its top level";

// Whether `agentDir` holds an install script: a regular file, or a link (as
// `zip -y` keeps one) that resolves to a regular file below the folder;
// why not in the user's words.
ScriptStatus scriptProblem(const std::string& agentDir) {
  const std::string script = getInstallAgentExecutable(agentDir);
  const ScriptStatus notRegular(ScriptCode::NotRegular, kNoScript + " (its install is not a regular file)");
  struct stat st;
  if (lstat(script.c_str(), &st) != 0) return {ScriptCode::Missing, kNoScript};
  if (S_ISREG(st.st_mode)) return {};
  if (!S_ISLNK(st.st_mode)) return notRegular;
  char target[PATH_MAX];
  ssize_t length = readlink(script.c_str(), target, sizeof target);
  std::string to = " (to " + std::string(target, static_cast<size_t>(std::max<ssize_t>(length, 0))) + ")";
  std::string resolved = platform::resolvePath(script), folder = platform::resolvePath(agentDir);
  if (resolved.empty()) return {ScriptCode::LinksToNothing, "The install agent archive's install links to nothing" + to};
  if (folder.empty() || resolved.compare(0, folder.size() + 1, folder + pathSeparator) != 0)
    return {ScriptCode::LinksOutside, "The install agent archive's install links outside its folder" + to};
  return platform::isRegularFile(resolved) ? ScriptStatus() : notRegular;
}

bool holdsInstallScript(const std::string& agentDir) { return scriptProblem(agentDir).ok(); }
}  // namespace

ScriptStatus checkInstallScript(const std::string& agentDir) {
  ScriptStatus problem = scriptProblem(agentDir);
  if (problem.code() != ScriptCode::Missing) return problem;
  struct stat st;
  for (const std::string& name : platform::directoryEntries(agentDir)) {
    std::string folder = agentDir + pathSeparator + name;
    if (lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && holdsInstallScript(folder))
      return {ScriptCode::ZippedFolder,
              kNoScript + ", but " + name + "/install: the folder " + name + " was zipped instead of its contents"};
  }
  return problem;
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
