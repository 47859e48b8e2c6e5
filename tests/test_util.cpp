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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testing_util {

ScratchDir::ScratchDir(const std::string& parent) {
  std::string tmpl = parent + "/installer-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  // Writable first: some tests take permissions away.
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

int modeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

void makeDirs(const std::string& path) {
  if (g_mkdir_with_parents(path.c_str(), 0755) != 0) ADD_FAILURE() << "mkdir " << path;
}

Lines listDir(const std::string& path) {
  Lines names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

Lines lines(const std::string& text) {
  Lines out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); !part.empty() && at != std::string::npos; at = text.find(part, at + part.size()))
    ++n;
  return n;
}

void writeTree(const std::string& dir, const Tree& files) {
  for (const auto& [name, content] : files) {
    std::string p = dir + "/" + name;
    makeDirs(name.back() == '/' ? p : p.substr(0, p.rfind('/')));
    if (name.back() == '/') continue;
    if (content.rfind("->", 0) == 0) symlink(content.c_str() + 2, p.c_str());  // a symbolic link to the rest
    else writeFile(p, content, content.rfind("#!", 0) == 0 ? 0755 : 0644);   // scripts may be run directly
  }
}

void makeZip(const std::string& zipPath, const Tree& files) {
  ScratchDir staging;
  writeTree(staging.path(), files);
  std::vector<std::string> argv = {"zip", "-q", "-r", "-y", zipPath};
  for (const auto& entry : files) argv.push_back(entry.first);
  unlink(zipPath.c_str());
  ProcessOptions opts;
  opts.workingDirectory = staging.path();
  ProcessResult r = runProcess(argv, opts);
  if (r.exitStatus != 0) ADD_FAILURE() << "zip failed: " << r.err;
}

std::string recordingAgentScript(const std::string& recordPath, int exitStatus) {
  // printf '%s\0' keeps every byte of every argument, newlines included.
  gchar* shellQuoted = g_shell_quote(recordPath.c_str());
  std::string quoted = shellQuoted;
  g_free(shellQuoted);
  return "#!/bin/sh\nfor a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done > " + quoted + ".tmp\nmv " + quoted +
         ".tmp " + quoted + "\nexit " + std::to_string(exitStatus) + "\n";
}

std::optional<Lines> readArgsRecord(const std::string& recordPath, double waitSeconds) {
  for (int i = 0; !exists(recordPath); ++i)
    if (i >= waitSeconds * 50) return std::nullopt; else usleep(20000);
  Lines args;
  std::string data = readFile(recordPath);
  for (size_t start = 0, nul; (nul = data.find('\0', start)) != std::string::npos; start = nul + 1)
    args.push_back(data.substr(start, nul - start));
  return args;
}

namespace {
std::vector<char*> argvOf(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

int connectTo(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  int ok = port > 0 ? connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) : -1;
  if (port == 0) {
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ok = ntohs(a.sin_port);
  }
  close(s);
  return ok;
}
}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  // timeout(1) puts the command in a process group of its own and kills the
  // whole group when time is up.
  std::vector<std::string> all = {"timeout", "-s", "KILL", std::to_string(options.timeoutSeconds)};
  all.insert(all.end(), argv.begin(), argv.end());
  std::vector<char*> args = argvOf(all);
  gchar** env = g_get_environ();
  for (const auto& [k, v] : options.env)
    env = v ? g_environ_setenv(env, k.c_str(), v->c_str(), TRUE) : g_environ_unsetenv(env, k.c_str());
  gchar *out = nullptr, *err = nullptr;
  gint status = 0;
  GError* error = nullptr;
  ProcessResult result;
  if (!g_spawn_sync(options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), args.data(), env,
                    GSpawnFlags(G_SPAWN_SEARCH_PATH_FROM_ENVP | G_SPAWN_STDIN_FROM_DEV_NULL), nullptr, nullptr, &out,
                    &err, &status, &error)) {
    ADD_FAILURE() << argv[0] << ": " << error->message;
    g_error_free(error);
  } else {
    result = {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out, err};
  }
  g_strfreev(env);
  g_free(out);
  g_free(err);
  return result;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  if (value) setenv(name, value, 1); else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_) setenv(name_, old_->c_str(), 1); else unsetenv(name_);
}

int freePort() { return connectTo(0); }

void Server::start(const std::vector<std::string>& argv, int port) {
  std::vector<char*> args = argvOf(argv);
  static pid_t parent = getpid();
  auto dieWithTheTest = [](gpointer) {  // a crashed test must not leave it running
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
  };
  int out = -1;
  GError* error = nullptr;
  if (!g_spawn_async_with_pipes(nullptr, args.data(), nullptr, GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                                dieWithTheTest, nullptr, &pid_, nullptr, &out, nullptr, &error)) {
    ADD_FAILURE() << argv[0] << ": " << error->message;
    return g_error_free(error);
  }
  if (port == 0) {  // the server prints its port first
    std::string line;
    char c;
    while (read(out, &c, 1) == 1 && c != '\n') line += c;
    port = std::atoi(line.c_str());
  }
  close(out);
  port_ = port;
  for (int i = 0; i < 1000; ++i, usleep(10000))
    if (port > 0 && connectTo(port) == 0) return;
  ADD_FAILURE() << argv[0] << " did not start";
}

Server::~Server() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

TestHttpServer::TestHttpServer(const std::string& root, const std::string& tlsPem, int port) {
  if (!tlsPem.empty()) scheme_ = "https";
  start({"python3", TEST_SERVER_SCRIPT, "--root", root, "--tls", tlsPem, "--port", std::to_string(port)}, 0);
}

void TestHttpServer::set(const std::string& query) const { runProcess({"curl", "-s", url("/set?" + query)}); }

std::string TestHttpServer::stats() const { return runProcess({"curl", "-s", url("/stats")}).out; }

long TestHttpServer::stat(const std::string& key) const {
  std::string json = stats();
  size_t at = json.find("\"" + key + "\": ");
  return at == std::string::npos ? -1 : std::stol(json.substr(at + key.size() + 4));
}

void TestHttpServer::reset() const { runProcess({"curl", "-s", url("/reset")}); }

TestNginx::TestNginx(const std::string& root, int port) {
  if (port == 0) port = freePort();
  makeDirs(dir_ / "tmp");
  writeFile(dir_ / "nginx.conf",
            "daemon off;\nmaster_process off;\nuser root;\npid " + dir_ / "pid" + ";\nerror_log " + dir_ / "error.log" +
                ";\nevents { worker_connections 64; }\nhttp {\n"
                "  log_format t escape=none '$request_uri $status $body_bytes_sent \"$http_if_none_match\"';\n"
                "  access_log " + dir_ / "access.log" + " t;\n  client_body_temp_path " + dir_ / "tmp" +
                ";\n  server { listen 127.0.0.1:" + std::to_string(port) + "; root " + root + "; }\n}\n");
  start({"nginx", "-p", dir_.path(), "-c", dir_ / "nginx.conf", "-e", dir_ / "error.log"}, port);
}

}  // namespace testing_util
