// Small helpers shared by the tests: scratch directories, files, zips and
// running real processes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_util {

// A fresh directory under /tmp, removed with everything in it at scope exit.
class ScratchDir {
 public:
  ScratchDir();
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
bool exists(const std::string& path);
void makeDirs(const std::string& path);
std::vector<std::string> listDir(const std::string& path);  // sorted, without . and ..

// Builds `zipPath` with the real zip tool from `files` (name -> content, a
// name ending in / is a directory). Mode 0755 for a file named "install".
void makeZip(const std::string& zipPath, const std::map<std::string, std::string>& files);

// An agent script that writes each argument it got, NUL-terminated, to
// `recordPath` (through a temporary file renamed into place, so a reader
// never sees half a record), then exits with `exitStatus`.
std::string recordingAgentScript(const std::string& recordPath, int exitStatus = 0);
// Reads such a record; nullopt when missing. Waits up to `waitSeconds` for it.
std::optional<std::vector<std::string>> readArgsRecord(const std::string& recordPath,
                                                       double waitSeconds = 0);

struct ProcessResult {
  int exitStatus = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
  std::string workingDirectory;
  std::string input;               // standard input content
  double timeoutSeconds = 120;     // killed after that
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

// Lines of `text`, split at '\n' (a final newline does not add an empty line).
std::vector<std::string> lines(const std::string& text);

// A loopback port nobody listened on a moment ago.
int freePort();

// The real tinyproxy on 127.0.0.1, for the life of the object, with
// `extraConfig` lines added to its configuration (e.g. "BasicAuth u p\n").
class Tinyproxy {
 public:
  explicit Tinyproxy(const std::string& extraConfig = "");
  ~Tinyproxy();
  bool running() const { return pid_ > 0; }  // false when tinyproxy is not installed
  int port() const { return port_; }
  std::string url(const std::string& credentials = "") const {  // "http://[credentials@]127.0.0.1:<port>"
    return "http://" + (credentials.empty() ? "" : credentials + "@") + "127.0.0.1:" + std::to_string(port_);
  }
  std::string log() const { return readFile(dir_ / "log"); }

 private:
  ScratchDir dir_;
  int pid_ = -1;
  int port_ = 0;
};

}  // namespace testing_util
