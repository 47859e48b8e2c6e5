#include "hostenv/temp_dir.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/file_manager.h"
#include "platform/process_env.h"
#include "platform/trust_rule.h"

TempDir::TempDir(const std::string& lastResort, Exec exec) {
  std::vector<std::string> parents;
  std::string tmpdir = platform::temporaryDirectory();
  if (!tmpdir.empty()) parents.push_back(tmpdir);
  parents.push_back("/tmp");
  if (!lastResort.empty()) parents.push_back(lastResort);
  if (!createUnder(parents, false) && exec == Exec::Preferred) createUnder(parents, true);
}

bool TempDir::createUnder(const std::vector<std::string>& parents, bool evenNoexec) {
  for (const std::string& candidate : parents) {
    // Absolute and free of links, so that it never reads as an option and
    // the trust check sees the directories really used.
    std::string parent = platform::resolvePath(candidate);
    struct statvfs fs;
    if (parent.empty() || (!evenNoexec && statvfs(parent.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC))) continue;
    std::string dir = (parent == "/" ? "" : parent) + "/qvXXXXXX";
    if (!mkdtemp(dir.data())) continue;
    if (platform::isOursAlone(dir)) {
      dir_ = dir;
      return true;
    }
    rmdir(dir.c_str());
  }
  return false;
}

TempDir::~TempDir() {
  if (!dir_.empty()) platform::removeItemAtPath(dir_);
}
