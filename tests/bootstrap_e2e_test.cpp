// The built installer, run from fixture bundles with a shipped agent archive.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "bootstrap/bootstrap.h"
#include "download/handoff.h"
#include "fixture_bundle.h"
#include "installer_run.h"
#include "platform/main_bundle.h"

using namespace testing_util;

namespace {

class ShippedArchive : public ::testing::Test {
 protected:
  ProcessOptions options() const {
    ProcessOptions o;
    o.env["TMPDIR"] = tmp;
    o.env["HOME"] = scratch / "home";
    o.env["__QV_BOOTSTRAP_INSTALLER_UNITTEST__"] = std::nullopt;
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = "http://127.0.0.1:9/unused";
    return o;
  }
  // Our own lines on standard error, without what unzip or sh printed.
  static std::vector<std::string> ourLines(const std::string& err) {
    std::vector<std::string> out;
    for (const auto& l : lines(err))
      if (l.rfind("Failed", 0) == 0 || l.rfind("Installation", 0) == 0 || l.rfind("Internal", 0) == 0)
        out.push_back(l);
    return out;
  }

  ScratchDir scratch;
  std::string tmp = scratch / "tmp";
  std::string record = scratch / "args";
  FixtureBundle bundle{scratch / "vol"};
  void SetUp() override { makeDirs(tmp); }
};

}  // namespace

TEST_F(ShippedArchive, AgentGetsBundleAndEveryArgumentThenTempDirIsGone) {
  bundle.addAgentArchive("InstallAgent.zip", record);
  std::vector<std::string> userArgs = {"-mode", "silent", "two words", "", "$(touch PWNED)", "a\"b\\c"};
  ProcessResult r = bundle.run(userArgs, options());
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto got = readArgsRecord(record);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 3 + userArgs.size());
  EXPECT_EQ((*got)[0].rfind(tmp + "/qv", 0), 0u) << (*got)[0];
  EXPECT_EQ((*got)[0].substr((*got)[0].size() - 8), "/install");
  EXPECT_EQ((*got)[1], "-installbundle");
  EXPECT_EQ((*got)[2], bundle.bundleZip());
  EXPECT_EQ(std::vector<std::string>(got->begin() + 3, got->end()), userArgs);
  EXPECT_TRUE(listDir(tmp).empty());
  EXPECT_FALSE(exists(scratch / "home"));  // the cache is not touched on this road
}

TEST_F(ShippedArchive, AgentGetsTheUsualSignalDefaults) {
  // The installer ignores SIGPIPE and SIGXFSZ for itself; ignored signals
  // would stay ignored in the agent.
  makeZip(bundle.resources() + "/InstallAgent.zip",
          {{"install", "grep SigIgn /proc/$$/status > '" + record + "'\n"}});
  ProcessResult r = bundle.run({}, options());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::string line = readFile(record);
  EXPECT_FALSE(signalIgnored(line, SIGPIPE)) << line;
  EXPECT_FALSE(signalIgnored(line, SIGXFSZ)) << line;
}

TEST_F(ShippedArchive, VersionedArchiveAndFailingAgentStillSucceed) {
  bundle.addAgentArchive("InstallAgent_7.16.zip", record, /*exitStatus=*/1);
  ProcessResult r = bundle.run({}, options());
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  auto got = readArgsRecord(record);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 3u);
}

TEST_F(ShippedArchive, PathsWithShellCharactersAreSafe) {
  FixtureBundle odd(scratch / "Setup Disk $(touch PWNED) `x` \"q\" ;&");
  std::string oddTmp = scratch / "t m p $HOME";
  makeDirs(oddTmp);
  odd.addAgentArchive("InstallAgent.zip", record);
  ProcessOptions o = options();
  o.env["TMPDIR"] = oddTmp;
  o.workingDirectory = scratch.path();
  ProcessResult r = odd.run({"x"}, o);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  auto got = readArgsRecord(record);
  ASSERT_TRUE(got);
  EXPECT_EQ((*got)[2], odd.bundleZip());
  EXPECT_FALSE(exists(scratch / "PWNED"));
  EXPECT_TRUE(listDir(oddTmp).empty());
}

TEST_F(ShippedArchive, UnitTestVariableMakesExecutablesDirectoryTheWorkDir) {
  bundle.addAgentArchive("InstallAgent.zip", record);
  ProcessOptions o = options();
  o.env["__QV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
  ProcessResult r = bundle.run({}, o);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  auto got = readArgsRecord(record);
  ASSERT_TRUE(got);
  EXPECT_EQ((*got)[0], scratch / "vol/install");  // the directory that holds Setup.app
  EXPECT_TRUE(listDir(tmp).empty());               // the temporary directory came and went
}

// A TMPDIR that is missing or that others could tamper with is passed over
// for /tmp; a relative one is made absolute.
TEST_F(ShippedArchive, UnsafeTmpdirIsNotUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a directory to another user";
  bundle.addAgentArchive("InstallAgent.zip", record);
  struct Case { std::string tmpdir; int mode; uid_t owner; std::string expected; };
  for (const Case& c : {Case{"missing", -1, 0, "/tmp/qv"}, Case{"writable-by-all", 0777, 0, "/tmp/qv"},
                        Case{"another-users", 0755, 65534, "/tmp/qv"}, Case{"-Z", 0700, 0, scratch / "-Z/qv"}}) {
    SCOPED_TRACE(c.tmpdir);
    makeDirs(scratch / c.tmpdir);
    EXPECT_EQ(c.mode < 0 ? rmdir((scratch / c.tmpdir).c_str()) : chmod((scratch / c.tmpdir).c_str(), c.mode), 0);
    EXPECT_EQ(chown((scratch / c.tmpdir).c_str(), c.owner, 0), c.mode < 0 ? -1 : 0);
    ProcessOptions o = options();
    o.env["TMPDIR"] = c.tmpdir;  // relative to the working directory
    o.workingDirectory = scratch.path();
    EXPECT_EQ(bundle.run({}, o).exitStatus, 0);
    auto got = readArgsRecord(record);
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)[0].rfind(c.expected, 0), 0u) << (*got)[0];
    EXPECT_FALSE(exists((*got)[0]));  // and it went at the end
  }
}

// An archive that unpacks to more than its file system holds is refused
// before anything is written; the next run with room succeeds.
TEST_F(ShippedArchive, ArchiveLargerThanTheFreeSpaceIsRefused) {
  std::string small = scratch / "small", mount = "mount -t tmpfs -o size=1m tmpfs \"$1\"";
  makeDirs(small);
  if (runProcess({"unshare", "-m", "sh", "-c", mount, "sh", small}).exitStatus != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  makeZip(bundle.resources() + "/InstallAgent.zip",
          {{"install", recordingAgentScript(record)}, {"zeros", std::string(3000000, '\0')}});
  ProcessOptions o = options();
  o.env["TMPDIR"] = small;
  ProcessResult r = runProcess({"unshare", "-m", "sh", "-c", mount + " && exec \"$0\"", bundle.executable(), small}, o);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(lines(r.err).at(0).rfind("The install agent archive unpacks to 3.0 MB, more than the 1.0 MB free on " +
                                     small + "/qv", 0), 0u) << r.err;
  EXPECT_EQ(ourLines(r.err), kShippedUnzipFailed);
  EXPECT_FALSE(readArgsRecord(record));
  EXPECT_EQ(bundle.run({}, options()).exitStatus, 0);
  EXPECT_TRUE(readArgsRecord(record));
}

// An executable whose own path is longer than PATH_MAX cannot find its
// resources: it says so instead of running without them. Made step by
// step, so that no path handed to the system is that long.
TEST_F(ShippedArchive, ExecutablePathBeyondPathMaxFails) {
  bundle.addAgentArchive("InstallAgent.zip", record);
  std::string script = "import os, sys\nos.chdir(sys.argv[2])\n"
                       "for _ in range(25): os.mkdir('d' * 200); os.chdir('d' * 200)\n"
                       "os.link(sys.argv[1], 'i'); os.execv('./i', ['i'])";
  ProcessResult r = runProcess({"python3", "-c", script, bundle.executable(), scratch.path()}, options());
  EXPECT_EQ(r.exitStatus, 255);
  // At the end: a sanitizer may warn before, it cannot read the path either.
  EXPECT_EQ(r.err.substr(r.err.find("Cannot")), "Cannot find the installer's own location.\nInstallation failed.\n");
}

TEST_F(ShippedArchive, BrokenArchivesFailWithTheirMessages) {
  struct Case {
    std::string name;
    std::function<void(const std::string&)> make;
    std::vector<std::string> expected;
  };
  const std::vector<std::string> unzipFailed = {"Failed to unzip the install agent",
                                                "Failed to initialize the install agent.",
                                                "Installation failed."};
  const std::vector<std::string> noAgent = {"Failed to initialize the install agent.", "Installation failed."};
  std::vector<Case> cases = {
      {"no install entry", [](const std::string& z) { makeZip(z, {{"setup", "x"}}); }, noAgent},
      {"install in a subfolder", [](const std::string& z) { makeZip(z, {{"agent/install", "x"}}); }, noAgent},
      {"not a zip", [](const std::string& z) { writeFile(z, "hello"); }, unzipFailed},
      {"empty file", [](const std::string& z) { writeFile(z, ""); }, unzipFailed},
      {"truncated", [](const std::string& z) {
         makeZip(z, {{"install", std::string(100000, 'x')}, {"b", std::string(50000, 'y')}});
         std::string data = readFile(z);
         writeFile(z, data.substr(0, data.size() / 2));
       }, unzipFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(bundle.resources() + "/InstallAgent.zip");
    ProcessResult r = bundle.run({}, options());
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(ourLines(r.err), c.expected) << r.err;
    EXPECT_FALSE(readArgsRecord(record));
    EXPECT_TRUE(listDir(tmp).empty());
  }
}

TEST_F(ShippedArchive, UnzipMissingFromPathFails) {
  bundle.addAgentArchive("InstallAgent.zip", record);
  ProcessOptions o = options();
  o.env["PATH"] = scratch / "empty-bin";
  ProcessResult r = bundle.run({}, o);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(ourLines(r.err), (std::vector<std::string>{"Failed to unzip the install agent",
                                                        "Failed to initialize the install agent.",
                                                        "Installation failed."}));
}

// The driver's own rows, in process: a payload hook that fails, and a
// launcher that cannot run the shell.
namespace {
std::vector<std::string> messages;
void recordMessage(std::string message, bool) { messages.push_back(message); }
int failingPayload(std::string, ErrorCallback) { return -5; }
}  // namespace

TEST(MainFcn, PayloadFailureIsReportedWithItsStatus) {
  setPayloadHookForTesting(failingPayload);
  messages.clear();
  const char* argv[] = {"prog"};
  EXPECT_EQ(mainFcn(1, argv, recordMessage), -1);
  setPayloadHookForTesting(nullptr);
  EXPECT_EQ(messages, std::vector<std::string>{"Internal error: Failed to initialize application installer (-5)"});
}

// Control bytes are escaped, so a message is one line and cannot drive the terminal.
TEST(ReportErrorMain, ErrorsGoToStandardErrorOthersToStandardOutput) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  report_error_main("to err", true);
  report_error_main("to out", false);
  report_error_main("a\nInstallation failed.\x1b[2J\r\t\x7f\x01 \xc3\xa9~", true);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "to err\na\\x0aInstallation failed.\\x1b[2J\\x0d\\x09\\x7f\\x01 \xc3\xa9~\n");
  EXPECT_EQ(out, "to out\n");
}
