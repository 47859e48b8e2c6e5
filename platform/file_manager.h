// File operations the platform's file manager would provide.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

bool fileExistsAtPath(const std::string& path);  // any kind of file; follows links
// Removes a file or a directory tree; symbolic links are removed, never
// followed. Carries on past errors; true when nothing is left.
bool removeItemAtPath(const std::string& path);

// The names in a directory, without "." and ".."; empty when unreadable.
std::vector<std::string> directoryEntries(const std::string& directory);

// An exclusive advisory lock on a directory itself (flock), held while the
// object lives; never waits. Not inherited by child processes.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& directory);
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  bool held() const { return fd_ >= 0; }
  bool busy() const { return busy_; }  // another process holds it; try again later

 private:
  int fd_ = -1;
  bool busy_ = false;
};

// True when every directory from below `base` down to `path` is a real
// directory (not a link) of the current user that nobody else may write.
bool isPrivateDirectoryChain(const std::string& base, const std::string& path);

// Bytes an unprivileged user may still write on the file system that holds
// `path`, or that would hold it: a missing path is asked of its nearest
// existing parent. nullopt when that cannot be found out.
std::optional<uint64_t> freeBytesAt(const std::string& path);

}  // namespace platform
