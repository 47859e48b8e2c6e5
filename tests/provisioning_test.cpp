#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "download/handoff.h"
#include "platform/main_bundle.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_sourcing.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"
#include "provisioning/validation_file.h"
#include "test_util.h"

using namespace testing_util;

namespace {

std::vector<std::string> messages;
void recordMessage(std::string message, bool) { messages.push_back(message); }
}  // namespace

TEST(BuildConstants, DefaultAddressAndCacheLayout) {
  EXPECT_EQ(installAgentUrl, "https://downloads.velmor.example/pi_install_agent_pi_7.16.0_darw64");
  EXPECT_EQ(installAgentCacheSubdir, ".velmor/installagent/7.16.0/darw64/");
}

TEST(AgentPaths, InstallExecutableJoinsWithOneSeparator) {
  EXPECT_EQ(getInstallAgentExecutable(""), "install");
  EXPECT_EQ(getInstallAgentExecutable("/"), "/install");
  EXPECT_EQ(getInstallAgentExecutable("/a/b"), "/a/b/install");
  EXPECT_EQ(getInstallAgentExecutable("/a/b/"), "/a/b/install");
  EXPECT_EQ(getInstallAgentExecutable("c:\\x\\"), "c:\\x\\/install");
}

TEST(AgentPaths, CacheDirFollowsHome) {
  const std::string sub = ".velmor/installagent/7.16.0/darw64/";
  struct Case { const char* home; std::string expected; };
  for (const Case& c : {Case{nullptr, "/tmp/" + sub}, Case{"", "/tmp/" + sub}, Case{"/", "/" + sub},
                        Case{"/Users/u1", "/Users/u1/" + sub}, Case{"/Users/u1/", "/Users/u1/" + sub},
                        Case{"x", "x" + sub}, Case{"/home/a b $x", "/home/a b $x/" + sub}}) {
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(getInstallAgentCacheDir(), c.expected) << (c.home ? c.home : "(unset)");
  }
}

TEST(AgentPaths, CachedAgentCountsOnlyWithItsInstallEntry) {
  ScratchDir scratch;
  ScopedEnv home("HOME", scratch.path().c_str());
  std::string agentDir = getInstallAgentCacheDir() + "installagent/";
  EXPECT_EQ(installAgentDirOnDisk(), "");
  makeDirs(agentDir);
  writeFile(agentDir + "other", "");
  EXPECT_EQ(installAgentDirOnDisk(), "");  // an interrupted unpack
  makeDirs(agentDir + "install");          // a directory is not a script
  EXPECT_EQ(installAgentDirOnDisk(), "");
  rmdir((agentDir + "install").c_str());
  symlink("other", (agentDir + "install").c_str());  // nor is a link
  EXPECT_EQ(installAgentDirOnDisk(), "");
  unlink((agentDir + "install").c_str());
  writeFile(agentDir + "install", "");
  EXPECT_EQ(installAgentDirOnDisk(), agentDir);
}

TEST(AgentPaths, DefaultLocationNeedsABundleWithResources) {
  ScratchDir scratch;
  makeDirs(scratch / "S.app/Contents/MacOS");
  makeDirs(scratch / "S.app/Contents/Resources");
  platform::setExecutablePathForTesting(scratch / "S.app/Contents/MacOS/i");
  EXPECT_EQ(getDefaultInstallAgentLocation(), scratch / "S.app/Contents/Resources/InstallAgent.zip");
  platform::setExecutablePathForTesting(std::string());
  EXPECT_EQ(getDefaultInstallAgentLocation(), "");
  platform::setExecutablePathForTesting(std::nullopt);
}

TEST(UnzipInstallAgent, UnpacksIntoNewDirectoryAndOverwrites) {
  ScratchDir scratch;
  std::string zip = scratch / "a.zip";
  makeZip(zip, {{"install", "v1"}, {"lib/x", "data"}});
  makeDirs(scratch / "odd $dir `x` \"q\"");
  std::string dest = scratch / "odd $dir `x` \"q\"/agent";  // its last component made by unzip
  messages.clear();
  ASSERT_TRUE(unzipInstallAgent(zip, dest, "unzip", recordMessage));
  EXPECT_EQ(readFile(dest + "/install"), "v1");
  EXPECT_EQ(readFile(dest + "/lib/x"), "data");
  makeZip(zip, {{"install", "v2"}});
  writeFile(dest + "/extra", "stays");
  ASSERT_TRUE(unzipInstallAgent(zip, dest, "unzip", recordMessage));
  EXPECT_EQ(readFile(dest + "/install"), "v2");
  EXPECT_EQ(readFile(dest + "/extra"), "stays");
  EXPECT_TRUE(messages.empty());
}

TEST(UnzipInstallAgent, FailuresAndTheirMessages) {
  ScratchDir scratch;
  messages.clear();
  EXPECT_FALSE(unzipInstallAgent(scratch / "missing.zip", scratch / "d", "unzip", recordMessage));
  EXPECT_TRUE(messages.empty());  // missing archive: silent, nothing run

  std::string zip = scratch / "a.zip";
  makeZip(zip, {{"install", "x"}});
  EXPECT_FALSE(unzipInstallAgent(zip, scratch / "d", "no-such-unzip-tool", recordMessage));
  writeFile(scratch / "corrupt.zip", "PK\x03\x04 this is not really a zip");
  EXPECT_FALSE(unzipInstallAgent(scratch / "corrupt.zip", scratch / "d", "unzip", recordMessage));
  EXPECT_FALSE(unzipInstallAgent(scratch.path(), scratch / "d", "unzip", recordMessage));  // a directory
  EXPECT_EQ(messages, std::vector<std::string>(3, "Failed to unzip the install agent"));
}

// Nothing from the environment or the names reaches unzip as an option or a
// pattern: UNZIP=-: would let "../escape" out, "x[1].zip" would match x1.zip.
TEST(UnzipInstallAgent, EnvironmentAndNamesAreNeverOptions) {
  ScratchDir scratch;
  ASSERT_EQ(runProcess({"python3", "-c", "import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], 'w'); "
                        "z.writestr('install', 'real'); z.writestr('../escape', 'out'); z.close()",
                        scratch / "x[1].zip"}).exitStatus, 0);
  makeZip(scratch / "x1.zip", {{"install", "decoy"}});
  for (const char* name : {"UNZIP", "UNZIPOPT", "ZIPINFO", "ZIPINFOOPT"}) {
    SCOPED_TRACE(name);
    ScopedEnv env(name, name[0] == 'Z' ? "-1" : "-:");
    makeDirs(scratch / "in");
    unzipInstallAgent(scratch / "x[1].zip", scratch / "in/-d", "unzip", recordMessage);
    EXPECT_FALSE(exists(scratch / "in/escape"));
    EXPECT_EQ(readFile(scratch / "in/-d/install"), "real");
    ASSERT_EQ(runProcess({"rm", "-rf", scratch / "in"}).exitStatus, 0);
  }
}

TEST(UnzipInstallAgent, TotalsAreCheckedAgainstCapsAndFreeSpace) {
  const ArchiveLimits limits = {8000000000, 100, 2100000, "/home"};
  const std::string tail = " bytes uncompressed, 9 bytes compressed:  99.9%", refused = "The install agent archive ";
  struct Case { std::string line, refusal; };
  for (const Case& c : {Case{"100 files, 2100000" + tail, ""}, Case{"1 file, 0" + tail, ""},
                        Case{"101 files, 5" + tail, refused + "holds 101 entries, more than the 100 allowed"},
                        Case{"2 files, 9000000000" + tail, refused + "unpacks to 9.0 GB, more than the 8.0 GB allowed"},
                        Case{"2 files, 6900000" + tail, refused + "unpacks to 6.9 MB, more than the 2.1 MB free on /home"},
                        Case{"Empty zipfile.", "The install agent archive's contents cannot be read"}})
    EXPECT_EQ(checkArchiveTotals(c.line, limits), c.refusal) << c.line;
}

TEST(ValidationFile, RecordsAndComparesTheTagExactly) {
  ScratchDir scratch;
  const std::string dir = scratch.path() + "/";  // the doubled separator is harmless
  EXPECT_FALSE(isCacheValid(dir, "\"abc\""));       // no file yet
  writeValidationString(dir, "\"abc\"");
  EXPECT_EQ(readFile(scratch / ".validatestring"), "\"abc\"");
  EXPECT_TRUE(isCacheValid(dir, "\"abc\""));
  for (const char* other : {"abc", "\"ab", "\"abc\"x", "\"abd\"", "W/\"abc\"", ""})
    EXPECT_FALSE(isCacheValid(dir, other)) << other;

  writeValidationString(dir, "");  // an empty tag leaves the file alone
  EXPECT_EQ(readFile(scratch / ".validatestring"), "\"abc\"");

  writeFile(scratch / ".validatestring", "\"abc\"\nmore\nlines");
  EXPECT_TRUE(isCacheValid(dir, "\"abc\""));
  writeFile(scratch / ".validatestring", "\"abc\"\r\n");
  EXPECT_FALSE(isCacheValid(dir, "\"abc\""));
  EXPECT_TRUE(isCacheValid(dir, "\"abc\"\r"));

  writeValidationString(dir, "two\nlines");  // only the first line is ever read back
  EXPECT_FALSE(isCacheValid(dir, "two\nlines"));
}

TEST(ValidationFile, UnusableFilesAreNeverValid) {
  ScratchDir scratch;
  writeValidationString(scratch / "missing", "t");
  EXPECT_FALSE(exists(scratch / "missing"));
  makeDirs(scratch / "d/.validatestring");  // a directory in its place
  EXPECT_FALSE(isCacheValid(scratch / "d", "t"));
  writeFile(scratch / ".validatestring", "");
  EXPECT_FALSE(isCacheValid(scratch.path(), "t"));
  writeValidationString(scratch.path(), "t");
  removeValidationString(scratch.path());
  EXPECT_FALSE(isCacheValid(scratch.path(), "t"));

  // What was planted at the name (a FIFO, a link, a dangling link) is never
  // read or written through; the writer replaces it.
  writeFile(scratch / "target", "t");
  alarm(30);  // a reader that waits on the FIFO fails the test instead of hanging it
  for (int i = 0; i < 3; ++i) {
    std::string dir = scratch / std::to_string(i), file = dir + "/.validatestring";
    makeDirs(dir);
    ASSERT_EQ(i == 0 ? mkfifo(file.c_str(), 0600) : symlink((scratch / (i == 1 ? "target" : "new")).c_str(), file.c_str()), 0);
    EXPECT_FALSE(isCacheValid(dir, "t")) << i;
    writeValidationString(dir, "new");
    struct stat st;
    EXPECT_TRUE(lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600) << i;
    EXPECT_TRUE(isCacheValid(dir, "new")) << i;
    EXPECT_EQ(listDir(dir), std::vector<std::string>{".validatestring"});
  }
  alarm(0);
  EXPECT_EQ(readFile(scratch / "target"), "t");
  EXPECT_FALSE(exists(scratch / "new"));
}

// Agent sourcing from a fixture bundle, with a download step of the test's
// own standing in for the download window.
class SourceInstallAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    resources = scratch / "Setup.app/Contents/Resources";
    makeDirs(resources);
    makeDirs(scratch / "Setup.app/Contents/MacOS");
    makeDirs(work);
    platform::setExecutablePathForTesting(scratch / "Setup.app/Contents/MacOS/installer");
    messages.clear();
    calls = 0;
    target.clear();
  }
  void TearDown() override { platform::setExecutablePathForTesting(std::nullopt); }
  static HandOffResult fakeDownload(const char* destination, ErrorCallback) {
    ++calls;
    target = destination;
    if (fill) fill();
    return result;
  }
  SourcedAgent source() { return sourceInstallAgent(work, recordMessage, fakeDownload); }

  ScratchDir scratch;
  std::string resources;
  std::string work = scratch / "work";
  ScopedEnv home{"HOME", (scratch / "home").c_str()};
  static inline int calls = 0;
  static inline std::string target;
  static inline HandOffResult result;
  static inline std::function<void()> fill;
};

TEST_F(SourceInstallAgent, ShippedArchiveWinsAndIsUnpackedIntoWorkDir) {
  makeZip(resources + "/InstallAgent.zip", {{"install", "shipped"}});
  makeZip(resources + "/InstallAgent_2.zip", {{"install", "versioned"}});
  SourcedAgent agent = source();
  EXPECT_EQ(agent.path, work + "/install");
  EXPECT_FALSE(agent.running);
  EXPECT_EQ(readFile(work + "/install"), "shipped");
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(exists(scratch / "home/.velmor"));  // the cache is not touched
}

TEST_F(SourceInstallAgent, VersionedArchiveIsFoundByExactName) {
  for (const char* decoy : {"InstallAgent.zip.bak", "installagent_1.zip", "InstallAgent_1.ZIP",
                            "InstallAgent_1.zip.bak", "XInstallAgent_1.zip"})
    writeFile(resources + "/" + decoy, "not a zip");
  makeZip(resources + "/InstallAgent_.zip", {{"install", "versioned"}});
  SourcedAgent agent = source();
  EXPECT_EQ(readFile(agent.path), "versioned");
  EXPECT_TRUE(messages.empty());
}

TEST_F(SourceInstallAgent, LocalArchiveWithoutInstallFails) {
  makeZip(resources + "/InstallAgent.zip", {{"setup.sh", "x"}});
  SourcedAgent agent = source();
  EXPECT_EQ(agent.path, "");
  EXPECT_EQ(messages, std::vector<std::string>{"Failed to initialize the install agent."});
}

TEST_F(SourceInstallAgent, CacheRoadHandsOffWithTargetAndPreparesTheCache) {
  result = {};
  fill = nullptr;
  EXPECT_EQ(source().path, "");
  EXPECT_EQ(target, work + "/InstallAgent.zip");
  EXPECT_TRUE(messages.empty());  // a failed hand-off adds no message here
  struct stat st;
  ASSERT_EQ(stat((scratch / "home/.velmor/installagent/7.16.0/darw64/installagent").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(DownloadInstallAgentFromQV, AddressComesFromTheEnvironmentEvenEmpty) {
  for (const char* value : {static_cast<const char*>(nullptr), "", "http://127.0.0.1:1/x"}) {
    ScopedEnv url("QV_INTERNAL_INSTALL_AGENT_URL", value);
    ScopedEnv noDisplay("DISPLAY", nullptr);
    testing::internal::CaptureStderr();
    HandOffResult r = downloadInstallAgentFromQV("/nonexistent/InstallAgent.zip", recordMessage);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.kind, HandOffResult::Kind::Failed);
    EXPECT_EQ(downloadFrom, value ? value : installAgentUrl);
    EXPECT_EQ(downloadTo, "/nonexistent/InstallAgent.zip");
  }
}

TEST_F(SourceInstallAgent, StartedByTheApplicationIsNotStartedAgain) {
  result = {HandOffResult::Kind::AgentStarted, 4242};
  fill = nullptr;
  SourcedAgent agent = source();
  EXPECT_EQ(agent.running, 4242);
}

TEST_F(SourceInstallAgent, ArchiveLeftByTheApplicationRunsFromWorkDirNotCache) {
  result = {HandOffResult::Kind::ArchiveLeft};
  std::string cache = scratch / "home/.velmor/installagent/7.16.0/darw64/installagent";
  makeDirs(cache);
  writeFile(cache + "/install", "planted");
  fill = [&] { makeZip(target, {{"install", "downloaded"}}); };
  SourcedAgent agent = source();
  EXPECT_EQ(agent.path, work + "/install");
  EXPECT_FALSE(agent.running);
  EXPECT_EQ(readFile(agent.path), "downloaded");
  EXPECT_EQ(readFile(cache + "/install"), "planted");
}
