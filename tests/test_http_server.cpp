#include "test_http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace testing_util {

namespace {

constexpr int kStartupTimeoutMs = 15000;

// The first line the server prints, or "" after the time-out or EOF.
std::string readFirstLine(int fd) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartupTimeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return "";
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return "";
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    if (c == '\n') return line;
    line += c;
  }
}

}  // namespace

TestHttpServer::TestHttpServer(const std::string& root, const std::string& tlsPem) {
  std::vector<std::string> args = {"python3", TEST_SERVER_SCRIPT};
  if (!root.empty()) {
    args.push_back("--root");
    args.push_back(root);
  }
  if (!tlsPem.empty()) {
    args.push_back("--tls");
    args.push_back(tlsPem);
    scheme_ = "https";
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Close-on-exec: later children (agents, other servers) must not hold
  // the pipe open.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) {
    // A crashed test must not leave the server running.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(fds[1], 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  close(fds[1]);
  std::string line = readFirstLine(fds[0]);
  close(fds[0]);
  int port = std::atoi(line.c_str());
  if (port <= 0 || port > 65535) {
    ADD_FAILURE() << "test HTTP server did not report a port (got \"" << line << "\")";
    return;
  }
  port_ = port;
}

TestHttpServer::~TestHttpServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string TestHttpServer::url(const std::string& pathAndQuery) const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port_) + pathAndQuery;
}

}  // namespace testing_util
