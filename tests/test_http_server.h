// A real HTTP server on 127.0.0.1 (tests/http_server.py), on a free port,
// started for the lifetime of the object.
#pragma once

#include <string>

namespace testing_util {

class TestHttpServer {
 public:
  // `root`: directory served under /files/<name>; may be empty. With
  // `tlsPem` (certificate and key) it serves https.
  explicit TestHttpServer(const std::string& root = "", const std::string& tlsPem = "");
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const { return port_; }
  // "http(s)://127.0.0.1:<port>" + pathAndQuery (which starts with "/").
  std::string url(const std::string& pathAndQuery) const;

 private:
  int pid_ = -1;
  int port_ = 0;
  std::string scheme_ = "http";
};

}  // namespace testing_util
