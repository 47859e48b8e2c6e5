#include "platform/trust_rule.h"

#include <grp.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

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

TrustStatus trustedChain(const std::string& path, ExaminePath examine, PrivateGroup privateGroup, bool mayEndSticky) {
  if (path.empty() || path[0] != '/') return {TrustCode::NotAbsolute, "not an absolute path: " + path};
  // "/", then each prefix ending before a separator, then the path itself.
  std::vector<std::string> chain = {"/"};
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (path[slash - 1] != '/') chain.push_back(path.substr(0, slash));
  if (path.size() > 1 && path.back() != '/') chain.push_back(path);
  uid_t me = geteuid();
  for (size_t i = 0; i < chain.size(); ++i) {
    const std::string& dir = chain[i];
    struct stat st;
    if (examine(dir.c_str(), &st) != 0) return {TrustCode::Unexaminable, "cannot examine " + dir};
    if (S_ISLNK(st.st_mode)) return {TrustCode::Link, dir + " is a symbolic link"};
    if (!S_ISDIR(st.st_mode)) return {TrustCode::NotDirectory, dir + " is not a directory"};
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

bool isOursAlone(const std::string& dir) {
  struct stat st;
  return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == 0700 && trustedDirectory(dir).ok();
}

}  // namespace platform
