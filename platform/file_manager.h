// File operations the platform's file manager would provide.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

bool fileExistsAtPath(const std::string& path);  // any kind of file; follows links
// The directory that holds `path` (GLib's rule: "." for a bare name, "/"
// for a name below the root; trailing separators do not count; only '/'
// separates). Empty for an empty path.
std::string parentDirectory(const std::string& path);
bool isRegularFile(const std::string& path);     // not through a link
// Removes a file or a directory tree; symbolic links are removed, never
// followed. Directories in the tree are made writable (u+rwx) before their
// entries go, so read-only ones do not stay. Carries on past errors; true
// when nothing is left.
bool removeItemAtPath(const std::string& path);

// At most `limit` bytes of a regular file, read without following a link
// and without waiting (a FIFO planted in its place must not hang the run);
// nothing when there is no such file or it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path, size_t limit);
// Replaces `path` with a new file (mode 0600) holding `contents`, written
// beside it (as "<path>.XXXXXX") and renamed over it: whatever stood there,
// a link included, is replaced and never written through, and a reader sees
// the old or the new, also after a crash or a power cut: the file and then
// its folder are synced to disk.
bool replaceFile(const std::string& path, const std::string& contents);
// Syncs a directory's entries to disk (fsync), so that what was made,
// renamed or removed in it outlasts a power cut.
bool syncDirectory(const std::string& directory);
// Syncs every file and directory below `directory`, and it, to disk; links
// are not followed. False when any of them could not be; one removed
// meanwhile needs none.
bool syncTree(const std::string& directory);

// Starts, without waiting, the writing to disk of what the files below a
// directory gained since the last pass: a later syncTree of a tree written
// meanwhile then has little left to wait for. A hint only; links are not
// followed, and what cannot be read is passed over.
class WriteBehind {
 public:
  explicit WriteBehind(std::string directory) : directory_(std::move(directory)) {}
  void pass();

 private:
  void passBelow(int parentFd, const char* name);
  std::string directory_;
  std::unordered_map<ino_t, off_t> started_;  // each file's size when its writing was last started
};

// The names in a directory, without "." and ".."; empty when unreadable.
std::vector<std::string> directoryEntries(const std::string& directory);
std::vector<std::string> directoryEntries(int directoryFd);  // the descriptor stays open

// The bytes (apparent sizes) and entries below a directory, links not
// followed; zero for what cannot be read.
struct TreeTotals {
  uint64_t bytes = 0;
  uint64_t entries = 0;
};
TreeTotals treeTotals(const std::string& directory);

// What tells this very file from one made later at the same path (an
// inode number can be reused): device, inode and birth time, without
// following a link. Where the file system keeps no birth time (NFS, ext4
// with small inodes), the modification time's seconds stand in for it,
// which stampIdentity makes unlike any other. Empty when the path cannot
// be examined.
std::string fileIdentity(const std::string& path);
// Where the file system keeps no birth time, sets the modification time of
// `path` (not through a link) to a random whole second of the past and syncs
// it; nothing else. Done once a directory is complete: what is made or
// removed in it later changes that time, and with it the identity.
bool stampIdentity(const std::string& path);

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

// The absolute path without links, "." or ".." (realpath); empty on failure.
std::string resolvePath(const std::string& path);

// Bytes an unprivileged user may still write on the file system that holds
// `path`, or that would hold it: a missing path is asked of its nearest
// existing parent. nullopt when that cannot be found out.
std::optional<uint64_t> freeBytesAt(const std::string& path);
// The nearest directory at or above `path` that exists ("." for a relative
// path none of whose parents does).
std::string existingAncestor(std::string path);

}  // namespace platform
