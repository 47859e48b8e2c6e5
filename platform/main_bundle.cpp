#include "platform/main_bundle.h"

#include "platform/file_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace platform {

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

// The bundle is looked up once per run: the executable does not move.
static std::optional<std::optional<Bundle>>& resolvedBundle() {
  static std::optional<std::optional<Bundle>> bundle;
  return bundle;
}

std::string executablePath() {
  // A path that does not fit PATH_MAX could not be handed on whole anyway.
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::string();
  return std::string(buf, n);
}

namespace {
std::optional<Bundle> findBundle() {
  std::string exe = executablePath();
  if (exe.empty()) return std::nullopt;
  Bundle bundle;
  std::string macosDir = parentDirectory(exe);
  std::string contentsDir = parentDirectory(macosDir);
  std::string appDir = parentDirectory(contentsDir);
  if (endsWith(macosDir, "/Contents/MacOS") && endsWith(appDir, ".app")) {
    bundle.bundlePath = appDir;
    std::string resources = contentsDir + "/Resources";
    if (isDirectory(resources)) bundle.resourcePath = resources;
    return bundle;
  }
  bundle.bundlePath = macosDir;
  bundle.resourcePath = macosDir;
  return bundle;
}
}  // namespace

static std::string& unpackedResources() {
  static std::string directory;
  return directory;
}

std::optional<Bundle> mainBundle() {
  if (!resolvedBundle()) resolvedBundle() = findBundle();
  std::optional<Bundle> bundle = *resolvedBundle();
  if (bundle && !unpackedResources().empty()) bundle->resourcePath = unpackedResources();
  return bundle;
}

void useUnpackedResources(const std::string& directory) { unpackedResources() = directory; }

std::string modulePath(const std::string& name) {
  std::string dir = unpackedResources().empty() ? parentDirectory(executablePath()) : unpackedResources();
  return dir.empty() || dir[0] != '/' ? std::string() : dir + "/" + name;
}

}  // namespace platform
