// The run's private temporary directory: "qv" + six characters, mode 0700,
// removed with its contents when the object goes.
#pragma once

#include <string>
#include <vector>

class TempDir {
 public:
  // Under TMPDIR (a relative one taken from the working directory), else
  // under /tmp, else under `lastResort` when given: the first of them where
  // the new directory is one platform::isTrustedDirectoryPath accepts, ours,
  // mode 0700 and not a link. A parent others could tamper with is passed
  // over, and with `forCode` (it will hold modules to load) one on a file
  // system mounted noexec too.
  explicit TempDir(const std::string& lastResort = std::string(), bool forCode = false);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when no directory could be created; always absolute otherwise.
  std::string getDir() const { return dir_; }

 private:
  void createUnder(const std::vector<std::string>& parents, bool forCode);
  std::string dir_;
};
