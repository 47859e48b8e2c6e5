// The run's private temporary directory: "qv" + six characters under the
// user's temporary directory, mode 0700, removed with its contents when the
// object goes.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when the directory could not be created.
  std::string getDir() const { return dir_; }

 private:
  std::string dir_;
};
