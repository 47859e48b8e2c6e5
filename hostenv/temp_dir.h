// The run's private temporary directory: "qv" + six characters, mode 0700,
// removed with its contents when the object goes.
#pragma once

#include <string>
#include <vector>

class TempDir {
 public:
  // Whether code must be able to run from the directory (it is not on a
  // file system mounted noexec): the single file loads its modules from
  // it, a shipped agent may run its helpers from it.
  enum class Exec { Required, Preferred };

  // Under TMPDIR (a relative one taken from the working directory), else
  // under /tmp, else under `lastResort` when given: the first of them where
  // the new directory is one platform::isOursAlone accepts: trusted, ours,
  // mode 0700 and not a link. A parent others could tamper with is passed
  // over, and one on a file system mounted noexec too; with
  // Exec::Preferred, such a one still serves when no other does.
  explicit TempDir(const std::string& lastResort = std::string(), Exec exec = Exec::Preferred);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when no directory could be created; always absolute otherwise.
  std::string getDir() const { return dir_; }

 private:
  bool createUnder(const std::vector<std::string>& parents, bool evenNoexec);
  std::string dir_;
};
