// Every byte string that goes through smart_quote / argv2cmdline must reach
// the program as exactly one argument, unchanged, when /bin/sh runs the line.
//
// Input: NUL-separated pieces. The first names the script (as the agent's
// path would be quoted), the others are the arguments.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launch/shell_command.h"

namespace {

constexpr size_t kMaxArguments = 8;
constexpr size_t kMaxInput = 16384;  // keeps the line well under the kernel's limit

std::string workDir;
std::string linkDir;   // one link to the recorder per input, named by it
std::string recorder;  // the real script
std::string output;    // where it writes each argument, NUL-terminated

std::string singleQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void removeWorkDir() {
  std::string cmd = "rm -rf " + singleQuoted(workDir);
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", workDir.c_str());
}

[[noreturn]] void mismatch(const std::string& what, const std::vector<std::string>& sent,
                           const std::string& line) {
  std::fprintf(stderr, "quoting mismatch: %s\ncommand line: [%s]\n", what.c_str(), line.c_str());
  for (const auto& s : sent) std::fprintf(stderr, "  sent: [%s] (%zu bytes)\n", s.c_str(), s.size());
  std::abort();
}

// A file name made of the piece: no '/', not empty, not "." or "..".
std::string scriptName(std::string piece) {
  if (piece.size() > 200) piece.resize(200);
  for (char& c : piece)
    if (c == '/') c = '_';
  if (piece.empty() || piece == "." || piece == "..") piece = "recorder";
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Odd characters in the directory too, so every script path needs quoting.
  char tmpl[] = "/tmp/quoting fuzz $`\"'\\ -XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    std::abort();
  }
  workDir = tmpl;
  std::atexit(removeWorkDir);
  linkDir = workDir + "/links";
  if (mkdir(linkDir.c_str(), 0700) != 0) std::abort();
  recorder = workDir + "/recorder.sh";
  output = workDir + "/arguments";
  std::ofstream script(recorder);
  script << "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " << singleQuoted(output) << "\n";
  if (!script) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return -1;
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) {
      pieces.back() += static_cast<char>(data[i]);
    } else if (pieces.size() > kMaxArguments) {
      break;
    } else {
      pieces.emplace_back();
    }
  }

  std::string script = linkDir + "/" + scriptName(pieces[0]);
  unlink(script.c_str());
  if (symlink(recorder.c_str(), script.c_str()) != 0) {
    std::perror("symlink");
    std::abort();
  }

  std::vector<std::string> sent(pieces.begin() + 1, pieces.end());
  std::vector<const char*> argv = {"prog"};
  for (const auto& s : sent) argv.push_back(s.c_str());
  std::string line = "sh " + smart_quote(script) + " " +
                     argv2cmdline(static_cast<int>(argv.size()), argv.data());

  unlink(output.c_str());
  int status = call_system("sh", line);
  unlink(script.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    mismatch("the shell failed with status " + std::to_string(status), sent, line);

  std::ifstream in(output, std::ios::binary);
  if (!in) mismatch("the script never ran", sent, line);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  std::string recorded = buffer.str();
  std::vector<std::string> got;
  size_t start = 0;
  for (size_t nul; (nul = recorded.find('\0', start)) != std::string::npos; start = nul + 1)
    got.push_back(recorded.substr(start, nul - start));
  if (start != recorded.size()) mismatch("a torn record", sent, line);
  if (got.size() != sent.size())
    mismatch(std::to_string(sent.size()) + " arguments sent, " + std::to_string(got.size()) + " arrived",
             sent, line);
  for (size_t i = 0; i < sent.size(); ++i)
    if (got[i] != sent[i]) mismatch("argument " + std::to_string(i) + " arrived as [" + got[i] + "]", sent, line);
  return 0;
}
