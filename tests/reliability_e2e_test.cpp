// Runs that overlap, are killed, or meet a cache someone else controls.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "installer_run.h"

using namespace testing_util;

namespace {

class Reliability : public InstallerRun {
 protected:
  void SetUp() override {
    InstallerRun::SetUp();
    publish("v1", "agent.zip", 300000);  // big enough that a paced transfer takes a while
  }
  void plantAgent(const std::string& tag) {
    makeDirs(cache + "/installagent");
    writeFile(agent, "#!/bin/sh\necho planted >> '" + starts + "'\n", 0755);
    writeFile(cache + "/.validatestring", tag);
  }
};

}  // namespace

TEST_F(Reliability, TwoRunsAtOnceBothStartACompleteAgent) {
  ProcessResult a, b;
  const std::string paced = "/files/agent.zip?etag=%22one%22&rate=300000";
  std::thread first([&] { a = bundle.run({}, options(paced)); });
  std::thread second([&] { b = bundle.run({}, options(paced)); });
  first.join();
  second.join();
  EXPECT_EQ(a.exitStatus, 0) << a.err;
  EXPECT_EQ(b.exitStatus, 0) << b.err;
  EXPECT_EQ(waitForStarts(2), 2u);
  EXPECT_EQ(lines(readFile(starts)), (Lines{"v1", "v1"}));
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
  EXPECT_EQ(listDir(cache), (Lines{".validatestring", "installagent"}));
  EXPECT_TRUE(listDir(tmp).empty());
}

// The cache is used only when every directory from "/" down to it is ours
// (or root's) and nobody else can write it; links are resolved first.
TEST_F(Reliability, CacheIsUsedOnlyWhereNobodyElseCanChangeIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand directories to another user (CI runs as root)";
  const std::string elsewhere = scratch / "elsewhere";
  auto linkVelmor = [&](uid_t owner) {
    makeDirs(elsewhere);
    ASSERT_EQ(chown(elsewhere.c_str(), owner, owner), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (home + "/.velmor").c_str()), 0);
  };
  // Each case sets up the cache with a planted agent that the tag vouches for.
  auto plant = [&] { plantAgent("\"one\""); };
  struct Case { const char* name; std::function<void()> setUp; bool cacheUsed; } cases[] = {
      {"group-writable", [&] { plant(), chmod((home + "/.velmor").c_str(), 0775); }, false},
      {"someone else's cache", [&] { plant(), chown(cache.c_str(), 65534, 65534); }, false},
      {"home of another user, as sudo keeps HOME", [&] { plant(), chown(home.c_str(), 65534, 65534); }, false},
      {"link to someone else's directory", [&] { linkVelmor(65534), plant(); }, false},
      {"link to a private directory of ours", [&] { linkVelmor(0), plant(); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runProcess({"rm", "-rf", home, elsewhere, starts, record});
    makeDirs(home);
    c.setUp();
    ProcessResult r = run("/files/agent.zip?etag=%22one%22");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    if (c.cacheUsed) {
      EXPECT_EQ(lines(readFile(starts)), Lines{"planted"});
      continue;
    }
    auto args = readArgsRecord(record);
    ASSERT_TRUE(args);
    EXPECT_EQ((*args)[0].rfind(tmp + "/qv", 0), 0u) << (*args)[0];  // the downloaded agent, run privately
    EXPECT_EQ(lines(readFile(starts)), Lines{"v1"});                 // and not the planted one
    EXPECT_NE(readFile(agent).find("planted"), std::string::npos);    // which nobody replaced either
    EXPECT_TRUE(listDir(tmp).empty());  // the run waited for the agent, then cleaned up
  }
}

TEST_F(Reliability, TerminationSignalsCancelAndCleanUp) {
  for (const char* sig : {"INT", "TERM", "HUP"}) {
    SCOPED_TRACE(sig);
    ProcessResult r = runProcess({"timeout", "--preserve-status", "-s", sig, "1", bundle.executable()},
                                 options("/files/agent.zip?etag=%22one%22&rate=20000"));
    EXPECT_EQ(r.exitStatus, 255) << r.err;
    EXPECT_EQ(lines(r.err).back(), "Installation failed.");
    EXPECT_TRUE(listDir(tmp).empty());
    EXPECT_FALSE(exists(cache + "/.validatestring"));
    EXPECT_EQ(startCount(), 0u);
  }
}

TEST_F(Reliability, KilledRunsLeaveNothingTheNextRunTrusts) {
  // Killed outright during the download.
  ProcessResult killed = runProcess({"timeout", "-s", "KILL", "1", bundle.executable()},
                                    options("/files/agent.zip?etag=%22one%22&rate=20000"));
  EXPECT_EQ(killed.exitStatus, 128 + SIGKILL);
  // Killed during an unpack, and between the unpack and the tag.
  makeDirs(cache + "/installagent.new-Ab12Cd/lib");
  writeFile(cache + "/installagent.new-Ab12Cd/install", "half");
  makeDirs(cache + "/installagent");
  writeFile(agent, "#!/bin/sh\necho untagged >> '" + starts + "'\n", 0755);

  ProcessResult good = run("/files/agent.zip?etag=%22one%22");
  EXPECT_EQ(good.exitStatus, 0) << good.err;
  EXPECT_EQ(startedVersion(agent), "v1");
  EXPECT_EQ(listDir(cache), (Lines{".validatestring", "installagent"}));
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
}

TEST_F(Reliability, SignalDuringShippedAgentWaitsForItThenCleansUp) {
  makeZip(bundle.resources() + "/InstallAgent.zip",
          {{"install", "#!/bin/sh\nsleep 1\necho done >> '" + starts + "'\n"}});
  // --foreground: the signal goes to the installer alone, not to the agent.
  ProcessResult r = runProcess({"timeout", "--foreground", "--preserve-status", "-s", "TERM", "0.3",
                                bundle.executable()},
                               options("/unused"));
  EXPECT_EQ(lines(readFile(starts)), Lines{"done"});  // the agent ran to its end
  EXPECT_TRUE(listDir(tmp).empty());
  EXPECT_EQ(r.exitStatus, 0) << r.err;
}

// A signal while unzip runs ends unzip's process group; no agent starts. The
// stand-in signals the installer, lets go of the output (so a run that never
// ends times out), then waits on a FIFO nobody writes: only the kill ends it.
TEST_F(Reliability, SignalDuringUnzipEndsItAndStartsNothing) {
  std::string bin = scratch / "bin", fifo = scratch / "never-written";
  makeDirs(bin);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeFile(bin + "/unzip", "#!/bin/sh\ncase \"$1\" in -Z*) exec /usr/bin/unzip \"$@\";; esac\n"
            "kill -TERM $PPID\nexec >/dev/null 2>&1\nread x < '" + fifo + "'\n", 0755);
  for (bool shipped : {true, false}) {
    SCOPED_TRACE(shipped ? "shipped" : "downloaded");
    if (shipped) makeZip(bundle.resources() + "/InstallAgent.zip", {{"install", agentScript()}});
    ProcessOptions o = options("/files/agent.zip?etag=%22one%22");
    o.env["PATH"] = bin + ":" + getenv("PATH");
    o.timeoutSeconds = 20;
    ProcessResult r = run(o);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(ourLines(r.err), shipped ? kShippedUnzipFailed : kDownloadUnzipFailed) << r.err;
    EXPECT_EQ(startCount(), 0u);
    EXPECT_EQ(listDir(tmp), Lines{});
    int stuck = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // a reader left behind, freed
    EXPECT_LT(stuck, 0) << "unzip outlived the run";
    unlink((bundle.resources() + "/InstallAgent.zip").c_str());
  }
  EXPECT_EQ(run("/files/agent.zip?etag=%22one%22").exitStatus, 0);
  EXPECT_EQ(startedVersion(agent), "v1");
}
