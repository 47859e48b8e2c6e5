// A real HTTP server on 127.0.0.1 (tests/http_server.py), on a free port,
// started for the lifetime of the object.
#pragma once

#include <string>

namespace testing_util {

class TestHttpServer {
 public:
  // `root`: directory served under /files/<name>; may be empty.
  explicit TestHttpServer(const std::string& root = "");
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + pathAndQuery (which starts with "/").
  std::string url(const std::string& pathAndQuery) const;

 private:
  int pid_ = -1;
  int port_ = 0;
};

}  // namespace testing_util
