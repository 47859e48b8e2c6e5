#include "platform/trust_rule.h"

#include <grp.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

std::optional<gid_t> privateGroupOf(const Account& user, const std::string& groupName,
                                    const std::vector<std::string>& groupMembers,
                                    const std::vector<Account>& allAccounts) {
  if (groupName != user.name) return std::nullopt;
  for (const std::string& member : groupMembers)
    if (member != user.name) return std::nullopt;
  for (const Account& account : allAccounts)
    if (account.primaryGroup == user.primaryGroup && account.name != user.name) return std::nullopt;
  return user.primaryGroup;
}

std::optional<gid_t> effectiveUsersPrivateGroup() {
  static const std::optional<gid_t> group = []() -> std::optional<gid_t> {
    const struct passwd* pw = getpwuid(geteuid());
    if (!pw) return std::nullopt;
    Account user{pw->pw_name, pw->pw_gid};  // copied: the walk below reuses getpwuid's storage
    const struct group* gr = getgrgid(user.primaryGroup);
    if (!gr) return std::nullopt;
    std::string groupName = gr->gr_name;
    std::vector<std::string> members;
    for (char** member = gr->gr_mem; *member; ++member) members.push_back(*member);
    std::vector<Account> accounts;
    setpwent();
    while (const struct passwd* entry = getpwent()) accounts.push_back({entry->pw_name, entry->pw_gid});
    endpwent();
    return privateGroupOf(user, groupName, members, accounts);
  }();
  return group;
}

namespace {

// Whether anyone but the owner may write the file `st` describes: others,
// or its group unless that is the user's private group.
bool writableByOthers(const struct stat& st, PrivateGroup privateGroup = effectiveUsersPrivateGroup) {
  if (st.st_mode & S_IWOTH) return true;
  if (!(st.st_mode & S_IWGRP)) return false;
  std::optional<gid_t> own = privateGroup();
  return !own || st.st_gid != *own;
}

// Whether the file open on `fd` lies on a file system mounted read-only,
// where nobody can change it whatever its owner and mode.
bool onReadOnlyFileSystem(int fd) {
  struct statvfs vfs;
  return fstatvfs(fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY);
}

// "/", then each prefix of the absolute `path` ending before a separator,
// then the path itself.
std::vector<std::string> foldersFromRoot(const std::string& path) {
  std::vector<std::string> chain = {"/"};
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (path[slash - 1] != '/') chain.push_back(path.substr(0, slash));
  if (path.size() > 1 && path.back() != '/') chain.push_back(path);
  return chain;
}

// Examines `dir` into `st`: Ok only for a directory itself, never a link.
TrustStatus examineFolder(const std::string& dir, ExaminePath examine, struct stat& st) {
  if (examine(dir.c_str(), &st) != 0) return {TrustCode::Unexaminable, "cannot examine " + dir};
  if (S_ISLNK(st.st_mode)) return {TrustCode::Link, dir + " is a symbolic link"};
  if (!S_ISDIR(st.st_mode)) return {TrustCode::NotDirectory, dir + " is not a directory"};
  return {};
}

// Root's alone: owned by root, and neither its group nor others may write it.
TrustStatus rootsAlone(const std::string& name, const struct stat& st) {
  if (st.st_uid != 0) return {TrustCode::OtherOwner, name + " does not belong to root"};
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return {TrustCode::WritableByOthers, name + " is writable by others"};
  return {};
}

TrustStatus trustedChain(const std::string& path, ExaminePath examine, PrivateGroup privateGroup, bool mayEndSticky) {
  if (path.empty() || path[0] != '/') return {TrustCode::NotAbsolute, "not an absolute path: " + path};
  std::vector<std::string> chain = foldersFromRoot(path);
  uid_t me = geteuid();
  for (size_t i = 0; i < chain.size(); ++i) {
    const std::string& dir = chain[i];
    struct stat st;
    if (TrustStatus folder = examineFolder(dir, examine, st); !folder) return folder;
    if (st.st_uid != me && st.st_uid != 0) return {TrustCode::OtherOwner, dir + " belongs to another user"};
    if (!writableByOthers(st, privateGroup)) continue;
    // Others may add entries to a sticky directory, but not move or remove ours.
    if (!(st.st_mode & S_ISVTX)) return {TrustCode::WritableByOthers, dir + " is writable by others"};
    if (i + 1 == chain.size()) {
      if (mayEndSticky) continue;
      return {TrustCode::WritableByOthers, dir + " is writable by others"};
    }
    struct stat next;
    if (examine(chain[i + 1].c_str(), &next) != 0 || next.st_uid != me)
      return {TrustCode::WritableByOthers, dir + " is writable by others and " + chain[i + 1] + " is not yours"};
  }
  return {};
}

}  // namespace

TrustStatus trustedDirectory(const std::string& resolvedAbsolutePath, ExaminePath examine,
                             PrivateGroup privateGroup) {
  return trustedChain(resolvedAbsolutePath, examine, privateGroup, false);
}

TrustStatus mayHoldPrivateDirectory(const std::string& resolvedAbsolutePath, ExaminePath examine,
                                    PrivateGroup privateGroup) {
  return trustedChain(resolvedAbsolutePath, examine, privateGroup, true);
}

TrustStatus trustedFileIn(int dirFd, const std::string& dir, int fd, const std::string& name) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return {TrustCode::NotRegularFile, name + " is not a regular file"};
  if (onReadOnlyFileSystem(dirFd)) return {};
  if (TrustStatus folder = trustedDirectory(dir); !folder)
    return {folder.code(), "other users can change that folder (" + folder.message() + ")"};
  if (st.st_uid != geteuid() && st.st_uid != 0) return {TrustCode::OtherOwner, name + " belongs to another user"};
  if (writableByOthers(st)) return {TrustCode::WritableByOthers, "other users can change " + name};
  return {};
}

TrustStatus trustedSystemFile(int fd, const std::string& path, ExaminePath examine) {
  if (path.empty() || path[0] != '/') return {TrustCode::NotAbsolute, "not an absolute path: " + path};
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return {TrustCode::NotRegularFile, path + " is not a regular file"};
  if (TrustStatus file = rootsAlone(path, st); !file) return file;
  // Whoever may write a folder on the way may swap the file for another.
  std::string folder = path.substr(0, std::max<size_t>(path.find_last_of('/'), 1));
  for (const std::string& dir : foldersFromRoot(folder)) {
    if (TrustStatus examined = examineFolder(dir, examine, st); !examined) return examined;
    if (TrustStatus alone = rootsAlone(dir, st); !alone) return alone;
  }
  return {};
}

bool isOursAlone(const std::string& dir) {
  struct stat st;
  return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == 0700 && trustedDirectory(dir).ok();
}

}  // namespace platform
