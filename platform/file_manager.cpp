#include "platform/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform {

std::string parentDirectory(const std::string& path) {
  if (path.empty()) return std::string();  // no path names no folder, least of all the working directory
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  gchar* parent = g_path_get_dirname(trimmed.c_str());
  std::string result = parent;
  g_free(parent);
  return result;
}

bool fileExistsAtPath(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

namespace {

// Removes `name` below the directory `parentFd`; a directory is first made
// u+rwx so that its entries can be listed and removed. fchmodat with
// AT_SYMLINK_NOFOLLOW and O_NOFOLLOW keep a link that replaced a directory
// meanwhile from being followed.
void removeBelow(int parentFd, const char* name) {
  struct stat st;
  if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlinkat(parentFd, name, 0);
    return;
  }
  if ((st.st_mode & S_IRWXU) != S_IRWXU)
    fchmodat(parentFd, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW);
  int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    for (const std::string& entry : directoryEntries(fd)) removeBelow(fd, entry.c_str());
    close(fd);
  }
  unlinkat(parentFd, name, AT_REMOVEDIR);
}

}  // namespace

bool isRegularFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool removeItemAtPath(const std::string& path) {
  if (path.empty()) return false;
  std::string parent = parentDirectory(path);
  gchar* base = g_path_get_basename(path.c_str());
  std::string name = base;
  g_free(base);
  int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parentFd >= 0) {
    if (name != "/" && name != "." && name != "..") removeBelow(parentFd, name.c_str());
    close(parentFd);
  }
  struct stat st;
  return lstat(path.c_str(), &st) != 0;
}

std::optional<std::string> readSmallFile(const std::string& path, size_t limit) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::optional<std::string> text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) text.emplace();
  char buffer[4096];
  while (text && text->size() < limit) {
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) text.reset();
    if (n <= 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

bool replaceFile(const std::string& path, const std::string& contents) {
  // GLib writes a temporary beside it, syncs it and renames it over `path`
  // (a link there is replaced, never followed); the folder is synced after,
  // so that the rename itself outlasts a power cut.
  GError* error = nullptr;
  bool written = g_file_set_contents_full(path.c_str(), contents.data(), static_cast<gssize>(contents.size()),
                                          G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error);
  if (error) g_error_free(error);
  return written && syncDirectory(parentDirectory(path));
}

bool syncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  return synced;
}

namespace {
// `entry`: one found in a directory, which a running agent may have removed
// from its own folder meanwhile; it then needs no sync.
bool syncBelow(int parentFd, const char* name, bool entry) {
  struct stat st;
  if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return entry && errno == ENOENT;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return true;  // a link's target is not ours to sync
  int fd = openat(parentFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EACCES || (entry && errno == ENOENT);  // unreadable to us, and so beyond our reach
  bool synced = true;
  if (S_ISDIR(st.st_mode))
    for (const std::string& below : directoryEntries(fd)) synced = syncBelow(fd, below.c_str(), true) && synced;
  synced = fsync(fd) == 0 && synced;
  close(fd);
  return synced;
}
}  // namespace

bool syncTree(const std::string& directory) { return syncBelow(AT_FDCWD, directory.c_str(), false); }

void WriteBehind::pass() { passBelow(AT_FDCWD, directory_.c_str()); }

void WriteBehind::passBelow(int parentFd, const char* name) {
  struct stat st;
  if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  // A file that has not grown since its last pass has nothing new to start.
  if (S_ISREG(st.st_mode) && (st.st_size == 0 || started_[st.st_ino] == st.st_size)) return;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return;
  int fd = openat(parentFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& entry : directoryEntries(fd)) passBelow(fd, entry.c_str());
  } else {
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    started_[st.st_ino] = st.st_size;
  }
  close(fd);
}

std::vector<std::string> directoryEntries(int directoryFd) {
  std::vector<std::string> names;
  int fd = fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);  // closedir closes its own copy
  DIR* d = fd < 0 ? nullptr : fdopendir(fd);
  if (!d) {
    if (fd >= 0) close(fd);
    return names;
  }
  rewinddir(d);
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

std::vector<std::string> directoryEntries(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {};
  std::vector<std::string> names = directoryEntries(fd);
  close(fd);
  return names;
}

namespace {
void addTree(int parentFd, const char* name, TreeTotals& totals) {
  struct stat st;
  if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  totals.bytes += static_cast<uint64_t>(st.st_size);
  if (!S_ISDIR(st.st_mode)) return;
  int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  for (const std::string& entry : directoryEntries(fd)) {
    ++totals.entries;
    addTree(fd, entry.c_str(), totals);
  }
  close(fd);
}
}  // namespace

TreeTotals treeTotals(const std::string& directory) {
  TreeTotals totals;
  addTree(AT_FDCWD, directory.c_str(), totals);
  return totals;
}

std::string fileIdentity(const std::string& path) {
  struct statx st;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME | STATX_MTIME, &st) != 0)
    return std::string();
  std::string identity = std::to_string(st.stx_dev_major) + ":" + std::to_string(st.stx_dev_minor) + " " +
                         std::to_string(st.stx_ino) + " ";
  if (st.stx_mask & STATX_BTIME)
    return identity + std::to_string(st.stx_btime.tv_sec) + "." + std::to_string(st.stx_btime.tv_nsec);
  return identity + "m" + std::to_string(st.stx_mtime.tv_sec);
}

bool stampIdentity(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct statx st;
  bool stamped = fd >= 0 && statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &st) == 0;
  if (stamped && !(st.stx_mask & STATX_BTIME)) {
    // From 2001 on, and never past 2038, which small inodes cannot hold.
    gint32 now = static_cast<gint32>(std::min<time_t>(time(nullptr), G_MAXINT32));
    const struct timespec times[2] = {{0, UTIME_OMIT}, {g_random_int_range(1000000000, std::max(now, 1000000001)), 0}};
    stamped = futimens(fd, times) == 0 && fsync(fd) == 0;
  }
  if (fd >= 0) close(fd);
  return stamped;
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

std::string resolvePath(const std::string& path) {
  if (path.empty()) return std::string();
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return std::string();
  std::string result = resolved;
  std::free(resolved);
  return result;
}

std::string existingAncestor(std::string path) {
  struct stat st;
  while (!path.empty() && stat(path.c_str(), &st) != 0) {
    std::string parent = parentDirectory(path);
    path = parent == path ? "" : parent;  // "/" or "." that cannot be examined
  }
  return path.empty() ? "." : path;
}

std::optional<uint64_t> freeBytesAt(const std::string& path) {
  struct statvfs vfs;
  if (statvfs(existingAncestor(path).c_str(), &vfs) != 0) return std::nullopt;
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

}  // namespace platform
