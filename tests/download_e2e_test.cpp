// The built installer on the download road, in the window and on the console.
#include <gtest/gtest.h>

#include <cstdlib>

#include "installer_run.h"
#include "nginx_server.h"

using namespace testing_util;

namespace {

class DownloadRoadE2E : public InstallerRun, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    withDisplay = GetParam();
    if (withDisplay && !getenv("DISPLAY")) GTEST_SKIP() << "no display";
    InstallerRun::SetUp();
  }
};

}  // namespace

TEST_P(DownloadRoadE2E, DownloadsThenReusesThenReplacesTheCache) {
  // A slow agent that lets go of our output: the installer still returns only after it.
  agentPrologue = "exec >/dev/null 2>&1\nsleep 0.3\n";
  publish("v1");
  ProcessResult first = run("/files/agent.zip?etag=%22one%22", {"-x", "a b", ""});
  ASSERT_EQ(first.exitStatus, 0) << first.err;
  EXPECT_TRUE(exists(record));
  // The console view tells each step on standard error; the window does not.
  EXPECT_EQ(first.err.find("Initializing the installer") == std::string::npos, withDisplay) << first.err;
  auto args = readArgsRecord(record, 10);
  ASSERT_TRUE(args);
  EXPECT_EQ(*args, (Lines{agent, "-installbundle", bundle.bundleZip(), "-x", "a b", ""}));
  EXPECT_EQ(startCount(), 1u);
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
  EXPECT_TRUE(listDir(tmp).empty());
  EXPECT_EQ(listDir(home), Lines{".velmor"});  // nothing else is written below the home directory
  // The installer ignores these for itself; the agent gets the defaults.
  std::string ignored = readFile(ignoredSignals);
  EXPECT_FALSE(signalIgnored(ignored, SIGPIPE)) << ignored;
  EXPECT_FALSE(signalIgnored(ignored, SIGXFSZ)) << ignored;

  publish("v2");  // the same tag: the cached v1 starts, nothing is downloaded
  ProcessResult second = run("/files/agent.zip?etag=%22one%22");
  ASSERT_EQ(second.exitStatus, 0) << second.err;
  EXPECT_TRUE(exists(record));
  EXPECT_EQ(startedVersion(agent), "v1");
  EXPECT_EQ(waitForStarts(2), 2u);

  ProcessResult third = run("/files/agent.zip?etag=%22two%22");
  ASSERT_EQ(third.exitStatus, 0) << third.err;
  EXPECT_EQ(startedVersion(agent), "v2");
  EXPECT_EQ(waitForStarts(3), 3u);
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"two\"");
  EXPECT_EQ(listDir(cache), (Lines{".validatestring", "installagent"}));
}

INSTANTIATE_TEST_SUITE_P(Display, DownloadRoadE2E, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Window" : "Console"; });

// A server with real ETags: the second run names the cached agent's tag and
// gets a 304, so reusing the cache costs the server no body at all.
TEST_F(InstallerRun, CacheHitCostsTheServerNoBody) {
  publish("v1", "agent.zip", 100000);
  TestNginx nginx(served.path());
  for (int i = 0; i < 2; ++i) {
    ProcessOptions o = options("/");
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = nginx.url("/agent.zip");
    ProcessResult r = run(o);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  EXPECT_EQ(waitForStarts(2), 2u);
  std::string tag = readFile(cache + "/.validatestring");
  std::string size = std::to_string(readFile(served / "agent.zip").size());
  EXPECT_EQ(nginx.requests(), (Lines{"/agent.zip 200 " + size + " \"\" \"\"",
                                     "/agent.zip 304 0 \"\" \"" + tag + "\""}));
}

// A proxy named only in the desktop's settings (a key file here, read by
// GLib's GNOME resolver, which serves only on a GNOME desktop; no host
// exempt, not even 127.0.0.1) is used.
using DesktopProxy = InstallerRun;
TEST_F(DesktopProxy, ProxyNamedOnlyInTheDesktopSettingsIsUsed) {
  Tinyproxy proxy;
  if (!proxy.running()) GTEST_SKIP() << "tinyproxy is not installed";
  std::string config = scratch / "config";
  makeDirs(config + "/glib-2.0/settings");
  writeFile(config + "/glib-2.0/settings/keyfile",
            "[system/proxy]\nmode='manual'\nignore-hosts=@as []\n\n[system/proxy/http]\nhost='127.0.0.1'\nport=" +
                std::to_string(proxy.port()) + "\n");
  ProcessOptions o = options("/files/agent.zip?etag=%22one%22");
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy"})
    o.env[name] = std::nullopt;
  o.env["GSETTINGS_BACKEND"] = "keyfile";
  o.env["XDG_CONFIG_HOME"] = config;
  o.env["XDG_CURRENT_DESKTOP"] = "GNOME";
  ProcessResult r = run(o);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(proxy.log().find("GET " + server.url("/files/agent.zip")), std::string::npos) << proxy.log();
}
