#include "hostenv/mkpath.h"

#include <sys/stat.h>

namespace {

// Ok when `prefix` is (now) a directory or could not be made; NotADirectory
// when something else stands there.
MkpathStatus ensureDirectory(const std::string& prefix, mode_t mode) {
  struct stat st;
  if (stat(prefix.c_str(), &st) != 0) {
    mkdir(prefix.c_str(), mode);
    return {};
  }
  if (!S_ISDIR(st.st_mode)) {
    return {MkpathCode::NotADirectory, prefix + " is not a directory"};
  }
  return {};
}

}  // namespace

MkpathStatus mkpath(const std::string& path, mode_t mode) {
  if (path.empty()) return {};
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (path[slash - 1] == '/') continue;  // a doubled separator
    if (MkpathStatus made = ensureDirectory(path.substr(0, slash), mode); !made) return made;
  }
  if (path.back() == '/') return {};  // the walk above already handled the last component
  return ensureDirectory(path, mode);
}
