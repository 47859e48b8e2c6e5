#include "hostenv/temp_dir.h"

#include <cstdlib>
#include <vector>

#include "platform/file_manager.h"
#include "platform/process_env.h"

TempDir::TempDir() {
  std::string parent = platform::temporaryDirectory();
  if (parent.empty()) parent = "/tmp";
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  std::string tmpl = (parent == "/" ? "" : parent) + "/qvXXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) dir_ = buf.data();
}

TempDir::~TempDir() {
  if (!dir_.empty()) platform::removeItemAtPath(dir_);
}
