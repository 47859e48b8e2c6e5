// The trust rule: whether anyone but the user (and root) could change a
// folder or a file the installer is about to run from, keep something in,
// or unpack. Every road asks here, one entry point a question: the cache
// (trustedDirectory, mayHoldPrivateDirectory), the shipped archive
// (trustedFileIn), the run's temporary directory (isOursAlone) and an
// administrator's setting (trustedSystemFile).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace platform {

enum class TrustCode {
  Ok,
  NotAbsolute,       // the path is not absolute
  Unexaminable,      // a folder on the way cannot be examined (or is missing)
  Link,              // a folder on the way is a symbolic link
  NotDirectory,      // a folder on the way is something else
  NotRegularFile,    // the file is not a regular file
  OtherOwner,        // another user owns it
  WritableByOthers,  // others may write it
};
using TrustStatus = Status<TrustCode>;

// What the account database says of one account.
struct Account {
  std::string name;
  gid_t primaryGroup;
};
// The user's private group: the user's primary group when it bears the
// user's name, lists no member but the user, and is no other account's
// primary group. Nobody else can then write through it, so a folder it may
// write is as private as one only the user may write (umask 002 systems
// make home folders so). nullopt when the group is not such a one.
std::optional<gid_t> privateGroupOf(const Account& user, const std::string& groupName,
                                    const std::vector<std::string>& groupMembers,
                                    const std::vector<Account>& allAccounts);
// The effective user's private group, read from the account database once
// per process.
std::optional<gid_t> effectiveUsersPrivateGroup();
using PrivateGroup = std::optional<gid_t> (*)();

// `examine` is lstat and `privateGroup` the user's but in tests.
using ExaminePath = int (*)(const char* path, struct stat* st);

// Whether `resolvedAbsolutePath` and every directory above it, up to "/",
// is a directory (never a link) owned by the effective user or root that
// nobody else may write (others, or its group unless that is the user's
// private group). A sticky directory that others may write (like /tmp) is
// accepted only when the next component below it belongs to the effective
// user, so the path itself is never such a one. The message says which
// directory failed and how.
TrustStatus trustedDirectory(const std::string& resolvedAbsolutePath, ExaminePath examine = ::lstat,
                             PrivateGroup privateGroup = effectiveUsersPrivateGroup);
// Whether a directory the user makes in `resolvedAbsolutePath` (mode 0700)
// would pass that rule: the path passes it, or it is a sticky directory
// like /tmp and the path above it passes.
TrustStatus mayHoldPrivateDirectory(const std::string& resolvedAbsolutePath, ExaminePath examine = ::lstat,
                                    PrivateGroup privateGroup = effectiveUsersPrivateGroup);
// Whether the file open on `fd`, `name` in the directory `dir` open on
// `dirFd`, may be used: a regular file that nobody but the user and root
// can change, in a trusted directory; or any regular file on a file system
// mounted read-only, where nobody can. The message is one line for the user.
TrustStatus trustedFileIn(int dirFd, const std::string& dir, int fd, const std::string& name);
// Whether the file open on `fd`, at the absolute `path`, is a setting only
// root can have made: a regular file and every directory above it, up to
// "/", owned by root and writable by nobody else (no sticky folder, no
// private group), and no folder a link. The message names what failed.
TrustStatus trustedSystemFile(int fd, const std::string& path, ExaminePath examine = ::lstat);
// Whether the directory `dir`, just made, is ours alone: not a link, the
// effective user's, mode 0700 and trusted. Nobody else can then have put it
// there, widened it, or move it away under us.
bool isOursAlone(const std::string& dir);

}  // namespace platform
