#include "nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace testing_util {

namespace {

int connectTo(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (port > 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
  close(s);
  return -1;
}

}  // namespace

TestNginx::TestNginx(const std::string& root) {
  port_ = freePort();
  makeDirs(dir_ / "tmp");
  writeFile(dir_ / "nginx.conf",
            "daemon off;\nmaster_process off;\nuser root;\npid " + dir_ / "pid" + ";\nerror_log " + dir_ / "error.log" +
                ";\nevents { worker_connections 64; }\nhttp {\n"
                "  log_format t escape=none '$request_uri $status $body_bytes_sent \"$http_range\" \"$http_if_none_match\"';\n"
                "  access_log " + dir_ / "access.log" + " t;\n  client_body_temp_path " + dir_ / "tmp" +
                ";\n  server { listen 127.0.0.1:" + std::to_string(port_) + "; root " + root + "; }\n}\n");
  std::string conf = dir_ / "nginx.conf", prefix = dir_.path();
  pid_t pid = fork();
  if (pid == 0) {
    execlp("nginx", "nginx", "-p", prefix.c_str(), "-c", conf.c_str(), "-e", (dir_ / "error.log").c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  for (int i = 0; i < 500; ++i) {
    int s = connectTo(port_);
    if (s >= 0) {
      close(s);
      return;
    }
    usleep(10000);
  }
  ADD_FAILURE() << "nginx did not start: " << readFile(dir_ / "error.log");
}

TestNginx::~TestNginx() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string TestNginx::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> TestNginx::requests() const { return lines(readFile(dir_ / "access.log")); }

}  // namespace testing_util
