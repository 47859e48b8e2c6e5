#include "hostenv/mkpath.h"

#include <sys/stat.h>

#include <cerrno>

namespace {

// 0 when `prefix` is (now) a directory or could not be made; -1 when
// something else stands there.
int ensureDirectory(const std::string& prefix, mode_t mode) {
  struct stat st;
  if (stat(prefix.c_str(), &st) != 0) {
    mkdir(prefix.c_str(), mode);
    return 0;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

}  // namespace

int mkpath(std::string path, mode_t mode) {
  if (path.empty()) return 0;
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (path[slash - 1] == '/') continue;  // a doubled separator
    if (ensureDirectory(path.substr(0, slash), mode) != 0) return -1;
  }
  if (path.back() == '/') return 0;  // the walk above already handled the last component
  return ensureDirectory(path, mode);
}
