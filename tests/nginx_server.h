// A real nginx on 127.0.0.1 serving a directory: real ETags, 304s and
// ranges. Its access log tells what each request cost the server.
#pragma once

#include <string>
#include <vector>

#include "test_util.h"

namespace testing_util {

class TestNginx {
 public:
  explicit TestNginx(const std::string& root);
  ~TestNginx();
  TestNginx(const TestNginx&) = delete;
  TestNginx& operator=(const TestNginx&) = delete;

  std::string url(const std::string& path) const;
  // One line per finished request, oldest first: "<uri> <status> <body bytes> <Range> <If-None-Match>".
  std::vector<std::string> requests() const;

 private:
  ScratchDir dir_;
  int pid_ = -1;
  int port_ = 0;
};

}  // namespace testing_util
