#include "platform/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

bool fileExistsAtPath(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool removeItemAtPath(const std::string& path) {
  if (path.empty()) return false;
  // Depth first, never crossing a symbolic link; a failing entry does not
  // stop the walk, so as much as possible goes.
  nftw(path.c_str(),
       [](const char* p, const struct stat*, int, struct FTW*) {
         std::remove(p);
         return 0;
       },
       32, FTW_DEPTH | FTW_PHYS);
  struct stat st;
  return lstat(path.c_str(), &st) != 0;
}

std::vector<std::string> directoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* d = opendir(directory.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

DirectoryLock::DirectoryLock(const std::string& directory) {
  fd_ = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    busy_ = errno == EWOULDBLOCK;
    close(fd_);
    fd_ = -1;
  }
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) close(fd_);  // closing releases the lock
}

bool isPrivateDirectoryChain(const std::string& base, const std::string& path) {
  if (path.compare(0, base.size(), base) != 0) return false;
  size_t pos = base.size();
  while (pos < path.size()) {
    size_t next = path.find('/', pos + 1);
    if (next == std::string::npos) next = path.size();
    std::string prefix = path.substr(0, next);
    pos = next;
    if (prefix.empty() || prefix.back() == '/' || prefix.size() <= base.size()) continue;
    struct stat st;
    if (lstat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
      return false;
  }
  return true;
}

std::optional<uint64_t> freeBytesAt(const std::string& path) {
  std::string at = path.empty() ? "." : path;
  for (;;) {
    struct statvfs vfs;
    if (statvfs(at.c_str(), &vfs) == 0) return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if ((errno != ENOENT && errno != ENOTDIR) || at == "/" || at == ".") return std::nullopt;
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    size_t slash = at.rfind('/');
    at = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
  }
}

}  // namespace platform
