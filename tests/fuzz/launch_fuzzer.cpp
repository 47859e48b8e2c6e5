// The launcher's real road: every byte string reaches the agent as exactly one argument, unchanged, after
// -installbundle and the product archive, when fireInstallAgentWithArgs starts it through /bin/sh.
// Input: NUL-separated pieces; the first names the script (its path and the bundle's hold it), the others are
// the arguments.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launch/agent_launch.h"

namespace {
std::string workDir, recorder, output;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/launch fuzz $`\"'\\ -XXXXXX";  // what a shell would have to quote, in the script's path
  if (!mkdtemp(tmpl)) std::abort();
  workDir = tmpl;
  recorder = workDir + "/recorder.sh";
  output = workDir + "/arguments";
  std::ofstream(recorder) << "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$(dirname \"$0\")/../arguments\"\n";
  return mkdir((workDir + "/links").c_str(), 0700);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return -1;  // keeps the line well under the kernel's limit
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size && pieces.size() <= 9; ++i)
    if (data[i]) pieces.back() += static_cast<char>(data[i]); else pieces.emplace_back();
  std::string name = pieces[0].substr(0, 200);
  for (char& c : name) c = c == '/' ? '_' : c;
  if (name.empty() || name == "." || name == "..") name = "recorder";
  std::string script = workDir + "/links/" + name;
  unlink(script.c_str());
  if (symlink(recorder.c_str(), script.c_str()) != 0) std::abort();

  std::vector<std::string> sent(pieces.begin() + 1, pieces.end());
  std::string bundle = workDir + "/links/" + name + " bundle";
  unlink(output.c_str());
  bool ran = fireInstallAgentWithArgs(script, bundle, sent, [](std::string, bool) {});
  unlink(script.c_str());
  std::ostringstream recorded;
  recorded << std::ifstream(output, std::ios::binary).rdbuf();
  std::string expected = "-installbundle" + std::string(1, '\0') + bundle + "/bundle.zip" + std::string(1, '\0');
  for (const auto& s : sent) expected += s + '\0';
  if (ran && recorded.str() == expected) return 0;
  std::fprintf(stderr, "launch mismatch: %s\n", ran ? "the arguments arrived changed" : "the shell failed");
  std::abort();
}
