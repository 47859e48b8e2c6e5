#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "launch/agent_launch.h"
#include "launch/shell_command.h"
#include "test_util.h"

using namespace testing_util;

namespace {

std::vector<std::string> messages;
void recordMessage(std::string message, bool isError) {
  messages.push_back((isError ? "E:" : "O:") + message);
}

// Arguments and paths that a shell would split, expand or execute.
std::vector<std::string> tortureStrings() {
  std::string printable;
  for (int c = 0x20; c < 0x7f; ++c) printable += static_cast<char>(c);
  return {
      printable,
      "plain",
      "two words",
      "tab\there",
      "new\nline",
      "$(touch PWNED)",
      "`touch PWNED`",
      "a;touch PWNED",
      "\"quoted\"",
      "back\\slash\\",
      "trailing\\",
      "$HOME ${HOME} $1 $@ $*",
      "'single'",
      "*",
      "~",
      "#comment",
      "!bang",
      "a&b|c<d>e(f)g[h]i{j}k",
      "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xff\xfe",
      "-installbundle",
      "=",
      "%",
      "^caret",
  };
}

}  // namespace

TEST(SmartQuote, KeepsSafeTextAndQuotesBlanksAsBefore) {
  EXPECT_EQ(smart_quote("/tmp/w/install"), "/tmp/w/install");
  EXPECT_EQ(smart_quote("/Volumes/Setup Disk/x"), "\"/Volumes/Setup Disk/x\"");
  EXPECT_EQ(smart_quote("a\tb"), "\"a\tb\"");
  EXPECT_EQ(smart_quote(""), "");
  EXPECT_EQ(smart_quote("a\"b c"), "\"a\\\"b c\"");
  EXPECT_EQ(smart_quote("$x"), "\"\\$x\"");
}

TEST(Argv2cmdline, QuotesEachArgumentAndFollowsItWithASpace) {
  const char* none[] = {"prog"};
  EXPECT_EQ(argv2cmdline(0, none), "");
  EXPECT_EQ(argv2cmdline(1, none), "");
  const char* two[] = {"prog", "-mode", "silent"};
  EXPECT_EQ(argv2cmdline(3, two), "-mode silent ");
  const char* odd[] = {"prog", "", "a b"};
  EXPECT_EQ(argv2cmdline(3, odd), "\"\" \"a b\" ");
}

TEST(CallSystem, ReturnsTheShellsWaitStatus) {
  int status = call_system("", "exit 3");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(call_system("ignored", "true"), 0);
}

// Every byte string reaches the agent unchanged, one argument each, and
// nothing in it is executed: as a script path, as the bundle location and as
// user arguments.
TEST(FireInstallAgentWithArgs, EveryArgumentArrivesByteForByte) {
  ScratchDir scratch;
  for (const std::string& odd : tortureStrings()) {
    SCOPED_TRACE(odd);
    std::string dir = scratch / ("agent " + std::to_string(std::hash<std::string>()(odd)));
    if (odd.find('/') == std::string::npos) dir += odd;  // the path itself holds the odd bytes
    makeDirs(dir);
    std::string script = dir + "/install";
    std::string record = scratch / "record";
    writeFile(script, recordingAgentScript(record), 0755);
    std::string bundle = dir + "/Res";

    std::vector<std::string> args = {"prog", odd, "", "x", odd + odd};
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    messages.clear();
    ASSERT_TRUE(fireInstallAgentWithArgs(script, "sh " + smart_quote(script), bundle,
                                         static_cast<int>(argv.size()), argv.data(), recordMessage));
    auto got = readArgsRecord(record);
    ASSERT_TRUE(got);
    std::vector<std::string> expected = {script, "-installbundle", bundle + "/bundle.zip", odd, "", "x",
                                         odd + odd};
    EXPECT_EQ(*got, expected);
    EXPECT_TRUE(messages.empty());
    unlink(record.c_str());
  }
  EXPECT_TRUE(listDir(scratch.path()).size() == tortureStrings().size());  // no PWNED anywhere
  EXPECT_FALSE(exists("PWNED"));
}

TEST(FireInstallAgentWithArgs, ArchivePathAndAgentStatus) {
  ScratchDir scratch;
  std::string script = scratch / "install";
  std::string record = scratch / "record";
  writeFile(script, recordingAgentScript(record, /*exitStatus=*/1), 0755);
  const char* argv[] = {"prog"};
  for (const auto& [location, archive] :
       std::vector<std::pair<std::string, std::string>>{{"/Vol/Setup Disk/Res", "/Vol/Setup Disk/Res/bundle.zip"},
                                                        {"/r/", "/r//bundle.zip"},
                                                        {"", "/bundle.zip"}}) {
    unlink(record.c_str());
    EXPECT_TRUE(fireInstallAgentWithArgs(script, "sh " + script, location, 1, argv, recordMessage));
    auto got = readArgsRecord(record);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, (std::vector<std::string>{script, "-installbundle", archive}));
  }
}

TEST(FireInstallAgentWithArgs, ShellThatCannotBeWaitedForIsAFailure) {
  // With SIGCHLD ignored the shell is reaped behind system()'s back, which
  // then returns -1 as when no shell could be started.
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &old);
  messages.clear();
  const char* argv[] = {"prog"};
  bool ok = fireInstallAgentWithArgs("/x/install", "sh /x/install", "/r", 1, argv, recordMessage);
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(messages, std::vector<std::string>{"E:Failed to start the instal agent"});
}
