// Helpers shared by the tests: scratch directories, files, zips, real
// processes, and real servers on 127.0.0.1 alive for the life of their object.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_util {

using Lines = std::vector<std::string>;

// A fresh directory under `parent`, removed with everything in it at scope exit.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& parent = "/tmp");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& content, int mode = 0644);
std::string readFile(const std::string& path);  // empty when missing
bool exists(const std::string& path);           // lstat: a dangling link exists
int modeOf(const std::string& path);            // lstat's permission bits; -1 when missing
void makeDirs(const std::string& path);
Lines listDir(const std::string& path);  // sorted, without . and ..
Lines lines(const std::string& text);    // split at '\n'; a final newline adds no line
bool contains(const std::string& text, const std::string& part);
size_t occurrences(const std::string& text, const std::string& part);  // not overlapping

// Files below `dir` from name -> content ("x/" is a directory, "->target" a
// symbolic link; a script ("#!") gets mode 0755).
using Tree = std::map<std::string, std::string>;
void writeTree(const std::string& dir, const Tree& files);
// `zipPath` made by the real zip from such a tree.
void makeZip(const std::string& zipPath, const Tree& files);

// An agent script that writes "$0" and each argument, NUL-terminated, to
// `recordPath` (renamed into place, so a reader never sees half a record).
std::string recordingAgentScript(const std::string& recordPath, int exitStatus = 0);
// Such a record, waiting up to `waitSeconds` for it; nullopt when missing.
std::optional<Lines> readArgsRecord(const std::string& recordPath, double waitSeconds = 0);

struct ProcessResult {
  int exitStatus = -1;  // exit code, or 128 + signal
  std::string out, err;
};
struct ProcessOptions {
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
  std::string workingDirectory;
  double timeoutSeconds = 120;  // the whole process group is killed after that
};
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Sets (or, with null, unsets) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

int freePort();  // a loopback port nobody listened on a moment ago

// A server process, killed at scope exit, or when the test crashes.
class Server {
 public:
  Server() = default;
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  int port() const { return port_; }
  std::string url(const std::string& path) const { return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path; }

 protected:
  void start(const std::vector<std::string>& argv, int port);  // port 0: it prints its own first
  std::string scheme_ = "http";
  int pid_ = -1, port_ = 0;
};

// tests/http_server.py serving `root` under /files/ (https with a PEM), on `port` or one of its own.
class TestHttpServer : public Server {
 public:
  explicit TestHttpServer(const std::string& root, const std::string& tlsPem = "", int port = 0);
  void set(const std::string& query) const;  // its /set: parameters for every later request
  std::string stats() const;                // its /stats: JSON
  long stat(const std::string& key) const;  // one number of it
  void reset() const;                       // forgets the counts
};

// A real nginx serving `root`; requests() is its access log, one line per
// request: "<uri> <status> <body bytes> "<If-None-Match>"".
class TestNginx : public Server {
 public:
  explicit TestNginx(const std::string& root, int port = 0);
  Lines requests() const { return lines(readFile(dir_ / "access.log")); }

 private:
  ScratchDir dir_;
};

}  // namespace testing_util
