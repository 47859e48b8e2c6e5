// Runs that overlap, are killed, or meet a cache someone else controls.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "fixture_bundle.h"
#include "test_http_server.h"

using namespace testing_util;

namespace {

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(tmp);
    // The agent counts its starts and records where it ran from.
    std::string script = "#!/bin/sh\necho \"$0\" >> '" + starts + "'\n";
    std::mt19937 random(7);
    std::string pad(300000, '\0');
    for (char& c : pad) c = static_cast<char>(random());  // incompressible, so the transfer takes time
    makeZip(served / "agent.zip", {{"install", script}, {"pad", pad}});
  }
  ProcessOptions options(const std::string& query) const {
    ProcessOptions o;
    o.env["HOME"] = home;
    o.env["TMPDIR"] = tmp;
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = server.url(query);
    o.env["DISPLAY"] = std::nullopt;
    o.env["WAYLAND_DISPLAY"] = std::nullopt;
    return o;
  }
  std::vector<std::string> startedFrom(size_t atLeast = 0) {
    for (int i = 0; i < 200 && lines(readFile(starts)).size() < atLeast; ++i) usleep(20000);
    return lines(readFile(starts));
  }
  void plantAgent(const std::string& tag) {
    makeDirs(cache + "/installagent");
    writeFile(cache + "/installagent/install", "#!/bin/sh\necho planted >> '" + starts + "'\n", 0755);
    writeFile(cache + "/.validatestring", tag);
  }

  ScratchDir scratch;
  ScratchDir served;
  TestHttpServer server{served.path()};
  FixtureBundle bundle{scratch / "vol"};
  std::string home = scratch / "home";
  std::string tmp = scratch / "tmp";
  std::string cache = home + "/.velmor/installagent/7.16.0/darw64";
  std::string starts = scratch / "starts";
};

}  // namespace

TEST_F(Reliability, TwoRunsAtOnceBothStartACompleteAgent) {
  ProcessResult a, b;
  std::thread first([&] { a = bundle.run({}, options("/files/agent.zip?etag=%22one%22&rate=300000")); });
  std::thread second([&] { b = bundle.run({}, options("/files/agent.zip?etag=%22one%22&rate=300000")); });
  first.join();
  second.join();
  EXPECT_EQ(a.exitStatus, 0) << a.err;
  EXPECT_EQ(b.exitStatus, 0) << b.err;
  EXPECT_EQ(startedFrom(2), std::vector<std::string>(2, cache + "/installagent/install"));
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
  EXPECT_EQ(listDir(cache), (std::vector<std::string>{".validatestring", "installagent"}));
  EXPECT_TRUE(listDir(tmp).empty());
}

TEST_F(Reliability, CacheOthersCanWriteIsNeverUsed) {
  for (std::string how : {"group-writable", "someone else's"}) {
    SCOPED_TRACE(how);
    plantAgent("\"one\"");
    if (how == "group-writable") {
      chmod((home + "/.velmor").c_str(), 0775);
    } else {
      if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a directory to another user";
      chmod((home + "/.velmor").c_str(), 0700);
      ASSERT_EQ(chown((cache).c_str(), 65534, 65534), 0);
    }
    unlink(starts.c_str());
    ProcessResult r = bundle.run({}, options("/files/agent.zip?etag=%22one%22"));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    auto from = startedFrom(1);
    ASSERT_EQ(from.size(), 1u);
    EXPECT_EQ(from[0].rfind(tmp + "/qv", 0), 0u) << from[0];  // the downloaded agent, run privately
    EXPECT_EQ(readFile(cache + "/installagent/install").find("planted") != std::string::npos, true);
    EXPECT_TRUE(listDir(tmp).empty());  // the run waited for the agent, then cleaned up
    ASSERT_EQ(chown(cache.c_str(), geteuid(), getegid()), 0);
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
    EXPECT_TRUE(startedFrom().empty());
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
  writeFile(cache + "/installagent/install", "#!/bin/sh\necho untagged >> '" + starts + "'\n", 0755);

  ProcessResult good = bundle.run({}, options("/files/agent.zip?etag=%22one%22"));
  EXPECT_EQ(good.exitStatus, 0) << good.err;
  EXPECT_EQ(startedFrom(1), std::vector<std::string>{cache + "/installagent/install"});
  EXPECT_EQ(listDir(cache), (std::vector<std::string>{".validatestring", "installagent"}));
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
}

TEST_F(Reliability, SignalDuringShippedAgentWaitsForItThenCleansUp) {
  makeZip(bundle.resources() + "/InstallAgent.zip",
          {{"install", "#!/bin/sh\nsleep 1\necho done >> '" + starts + "'\n"}});
  // --foreground: the signal goes to the installer alone, not to the agent.
  ProcessResult r = runProcess({"timeout", "--foreground", "--preserve-status", "-s", "TERM", "0.3",
                                bundle.executable()},
                               options("/unused"));
  EXPECT_EQ(lines(readFile(starts)), std::vector<std::string>{"done"});  // the agent ran to its end
  EXPECT_TRUE(listDir(tmp).empty());
  EXPECT_EQ(r.exitStatus, 0) << r.err;
}
