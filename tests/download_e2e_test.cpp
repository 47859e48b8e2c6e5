// The built installer on the download road: a fixture bundle without a
// shipped agent, the loopback server, and a fresh home directory.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fixture_bundle.h"
#include "test_http_server.h"

using namespace testing_util;

namespace {

class DownloadRoadE2E : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    withDisplay = GetParam();
    if (withDisplay && !getenv("DISPLAY")) GTEST_SKIP() << "no display";
    makeDirs(tmp);
    publish("\"one\"");
  }
  // The agent counts its starts and records its arguments.
  void publish(const std::string& version) {
    std::string script = "#!/bin/sh\necho " + std::string("started >> '") + starts + "'\n" +
                         recordingAgentScript(record).substr(10);
    makeZip(served / "agent.zip", {{"install", script}, {"version", version}});
  }
  ProcessResult run(const std::string& query, std::vector<std::string> args = {}) {
    unlink(record.c_str());
    ProcessOptions o;
    o.env["HOME"] = home;
    o.env["TMPDIR"] = tmp;
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = server.url(query);
    o.env["__QV_BOOTSTRAP_INSTALLER_UNITTEST__"] = std::nullopt;
    if (!withDisplay) {
      o.env["DISPLAY"] = std::nullopt;
      o.env["WAYLAND_DISPLAY"] = std::nullopt;
    }
    return bundle.run(args, o);
  }
  int startCount() { return static_cast<int>(lines(readFile(starts)).size()); }
  std::string cachedVersion() { return readFile(cache + "/installagent/version"); }
  static std::vector<std::string> ourLines(const std::string& err) {
    std::vector<std::string> out;
    for (const auto& l : lines(err))
      if (l.rfind("Download failed!", 0) == 0 || l.rfind("Failed", 0) == 0 || l.rfind("Installation", 0) == 0)
        out.push_back(l.rfind("Download failed!", 0) == 0 ? "Download failed!" : l);
    return out;
  }

  bool withDisplay = false;
  ScratchDir scratch;
  ScratchDir served;
  TestHttpServer server{served.path()};
  FixtureBundle bundle{scratch / "vol"};
  std::string home = scratch / "home dir";
  std::string tmp = scratch / "tmp";
  std::string cache = home + "/.velmor/installagent/7.16.0/darw64";
  std::string record = scratch / "args";
  std::string starts = scratch / "starts";
};

}  // namespace

TEST_P(DownloadRoadE2E, DownloadsThenReusesThenReplacesTheCache) {
  ProcessResult first = run("/files/agent.zip?etag=%22one%22", {"-x", "a b"});
  ASSERT_EQ(first.exitStatus, 0) << first.err;
  auto args = readArgsRecord(record, 10);
  ASSERT_TRUE(args);
  EXPECT_EQ(*args, (std::vector<std::string>{cache + "/installagent/install", "-installbundle",
                                             bundle.bundleZip(), "-x", "a b"}));
  EXPECT_EQ(startCount(), 1);
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
  EXPECT_TRUE(listDir(tmp).empty());

  ProcessResult second = run("/files/agent.zip?etag=%22one%22");
  ASSERT_EQ(second.exitStatus, 0) << second.err;
  ASSERT_TRUE(readArgsRecord(record, 10));
  EXPECT_EQ(startCount(), 2);
  EXPECT_EQ(cachedVersion(), "\"one\"");

  publish("\"two\"");
  ProcessResult third = run("/files/agent.zip?etag=%22two%22");
  ASSERT_EQ(third.exitStatus, 0) << third.err;
  ASSERT_TRUE(readArgsRecord(record, 10));
  EXPECT_EQ(startCount(), 3);
  EXPECT_EQ(cachedVersion(), "\"two\"");
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"two\"");
}

INSTANTIATE_TEST_SUITE_P(Display, DownloadRoadE2E, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Window" : "Console"; });

// Failures end the run at once in the console, since no window waits there.
class ConsoleFailures : public DownloadRoadE2E {};

TEST_P(ConsoleFailures, EachFailureEndsWith255AndTheNextGoodRunRepairs) {
  struct Case { std::string query; std::vector<std::string> expected; };
  const std::vector<Case> cases = {
      {"/files/missing.zip", {"Download failed!", "Installation failed."}},
      {"/drop?size=100000&after=1000", {"Download failed!", "Installation failed."}},
      {"/files/corrupt.zip?etag=%22c%22",
       {"Failed to unzip the install agent", "Failed to unzip the installer.", "Installation failed."}},
      {"/files/noinstall.zip?etag=%22n%22", {"Failed to unzip the installer.", "Installation failed."}},
  };
  writeFile(served / "corrupt.zip", "PK\x03\x04 nothing more");
  makeZip(served / "noinstall.zip", {{"readme", "x"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    ProcessResult r = run(c.query);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(ourLines(r.err), c.expected) << r.err;
    EXPECT_EQ(startCount(), 0);
    EXPECT_FALSE(exists(cache + "/.validatestring"));
    EXPECT_TRUE(listDir(tmp).empty());
  }
  ProcessResult good = run("/files/agent.zip?etag=%22one%22");
  EXPECT_EQ(good.exitStatus, 0) << good.err;
  EXPECT_TRUE(readArgsRecord(record, 10));
  EXPECT_EQ(startCount(), 1);
}

TEST_P(ConsoleFailures, CtrlCCancelsWith255) {
  ProcessOptions o;
  o.env["HOME"] = home;
  o.env["TMPDIR"] = tmp;
  o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = server.url("/trickle?size=10000000&chunk=100&interval=0.05");
  o.env["DISPLAY"] = std::nullopt;
  o.env["WAYLAND_DISPLAY"] = std::nullopt;
  ProcessResult r = runProcess({"timeout", "--preserve-status", "-s", "INT", "1.5", bundle.executable()}, o);
  EXPECT_EQ(r.exitStatus, 255) << r.err;
  EXPECT_EQ(lines(r.err).back(), "Installation failed.");
  EXPECT_EQ(startCount(), 0);
  EXPECT_TRUE(listDir(tmp).empty());
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleFailures, ::testing::Values(false));
