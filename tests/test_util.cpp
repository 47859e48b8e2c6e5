#include "test_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_util {

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/installer-test-XXXXXX";
  if (!mkdtemp(tmpl)) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  // Make everything writable first: some tests take write permission away.
  std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
}

void writeFile(const std::string& path, const std::string& content, int mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << path;
  chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void makeDirs(const std::string& path) {
  if (g_mkdir_with_parents(path.c_str(), 0755) != 0) ADD_FAILURE() << "mkdir " << path;
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void makeZip(const std::string& zipPath, const std::map<std::string, std::string>& files) {
  ScratchDir staging;
  for (const auto& [name, content] : files) {
    std::string p = staging / name;
    if (!name.empty() && name.back() == '/') {
      makeDirs(p);
      continue;
    }
    auto slash = p.rfind('/');
    makeDirs(p.substr(0, slash));
    writeFile(p, content, name == "install" ? 0755 : 0644);
  }
  unlink(zipPath.c_str());
  std::vector<std::string> argv = {"zip", "-q", "-r", zipPath};
  for (const auto& [name, content] : files) argv.push_back(name);
  ProcessOptions opts;
  opts.workingDirectory = staging.path();
  ProcessResult r = runProcess(argv, opts);
  if (r.exitStatus != 0) ADD_FAILURE() << "zip failed: " << r.err;
}

std::string recordingAgentScript(const std::string& recordPath, int exitStatus) {
  // printf '%s\0' keeps every byte of every argument, newlines included.
  std::string quoted = "'";
  for (char c : recordPath) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  return "#!/bin/sh\n"
         "for a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done > " + quoted + ".tmp\n"
         "mv " + quoted + ".tmp " + quoted + "\n"
         "exit " + std::to_string(exitStatus) + "\n";
}

std::optional<std::vector<std::string>> readArgsRecord(const std::string& recordPath,
                                                       double waitSeconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(waitSeconds * 1000));
  while (!exists(recordPath)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string data = readFile(recordPath);
  std::vector<std::string> args;
  std::string cur;
  for (char c : data) {
    if (c == '\0') {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  return args;
}

namespace {

void drain(int fd, std::string* into) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into->append(buf, n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  int outPipe[2], errPipe[2], inPipe[2];
  if (pipe(outPipe) || pipe(errPipe) || pipe(inPipe)) {
    ADD_FAILURE() << "pipe";
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]}) close(fd);
    setpgid(0, 0);  // so a timeout can end the whole group
    for (const auto& [k, v] : options.env) {
      if (v) setenv(k.c_str(), v->c_str(), 1); else unsetenv(k.c_str());
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  std::thread writer([&] {
    size_t off = 0;
    signal(SIGPIPE, SIG_IGN);
    while (off < options.input.size()) {
      ssize_t n = write(inPipe[1], options.input.data() + off, options.input.size() - off);
      if (n <= 0) break;
      off += n;
    }
    close(inPipe[1]);
  });
  std::thread outReader([&] { drain(outPipe[0], &result.out); });
  std::thread errReader([&] { drain(errPipe[0], &result.err); });

  int status = 0;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(options.timeoutSeconds * 1000));
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "timed out: " << argv[0];
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  writer.join();
  // A detached grandchild (a started agent) may hold the pipes open a while.
  outReader.join();
  errReader.join();
  close(outPipe[0]);
  close(errPipe[0]);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  if (value) setenv(name, value, 1); else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_) setenv(name_, old_->c_str(), 1); else unsetenv(name_);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

int freePort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

Tinyproxy::Tinyproxy(const std::string& extraConfig) {
  const std::string binary = "/usr/bin/tinyproxy";
  if (!exists(binary)) return;
  port_ = freePort();
  writeFile(dir_ / "conf", "Port " + std::to_string(port_) + "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogFile \"" +
                               dir_ / "log" + "\"\nLogLevel Info\n" + extraConfig);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a crashed test must not leave it running
    if (getppid() != parent) _exit(1);
    execl(binary.c_str(), binary.c_str(), "-d", "-c", (dir_ / "conf").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && log().find("Accepting connections") == std::string::npos; ++i) usleep(20000);
}

Tinyproxy::~Tinyproxy() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace testing_util
