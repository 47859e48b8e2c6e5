// The download controller with a recording view against the loopback server.
#include <gtest/gtest.h>

#include <cstdlib>

#include "download/download_controller.h"
#include "download/handoff.h"
#include "platform/main_bundle.h"
#include "platform/process_env.h"
#include "provisioning/build_constants.h"
#include "provisioning/validation_file.h"
#include "recording_view.h"
#include "test_http_server.h"
#include "test_util.h"

using namespace testing_util;
using platform::TextColor;

namespace {

class DownloadRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOME", home.c_str(), 1);
    makeDirs(agentDir);
    makeDirs(work);
    makeDirs(resources);
    makeDirs(scratch / "Setup.app/Contents/MacOS");
    platform::setExecutablePathForTesting(scratch / "Setup.app/Contents/MacOS/installer");
    const char* argv[] = {"installer", "two words", ""};
    platform::setProcessArguments(3, argv);
    downloadTo = work + "/InstallAgent.zip";
    makeZip(server_root / "agent.zip", {{"install", recordingAgentScript(record)}, {"lib/data", "v2"}});
  }
  void TearDown() override { platform::setExecutablePathForTesting(std::nullopt); }

  // Runs the controller like the application main does, for at most 30 s.
  void runController(const std::string& address,
                     std::function<void(RecordingView&)> onProgress = nullptr) {
    downloadFrom = address;
    platform::EventLoop loop;
    Download controller(loop, report_error_main);
    RecordingView v([&] { controller.windowWillClose(); });
    v.waits = waits;
    controller.setWindow(&v);
    // The window stays open after a failure until the user closes it.
    v.onColor = [&](TextColor c) {
      if (c != TextColor::Red || !v.waits) return;
      openAtFailure = !v.closed;
      loop.callAfter(0.2, [&] { v.close(); });
    };
    if (onProgress) v.onTransferred = [&] { onProgress(v); };
    loop.callSoon([&] { controller.applicationDidFinishLaunching(); });
    auto guard = loop.callAfter(30, [&] {
      ADD_FAILURE() << "the controller never stopped the loop";
      loop.stop();
    });
    loop.run();
    loop.cancelCall(guard);
    view = v;
    started = controller.result().kind == HandOffResult::Kind::AgentStarted;
    bytes = controller.bytesReceived();
  }

  void seedCache(const std::string& tag, const std::string& marker) {
    writeFile(agentDir + "/install", recordingAgentScript(record), 0755);
    writeFile(agentDir + "/marker", marker);
    writeValidationString(cacheDir, tag);
  }

  std::string fileUrl(const std::string& query) { return server.url("/files/agent.zip" + query); }

  ScratchDir scratch;
  ScratchDir server_root;
  TestHttpServer server{server_root.path()};
  std::string home = scratch / "home";
  std::string cacheDir = home + "/.velmor/installagent/7.16.0/darw64/";
  std::string agentDir = cacheDir + "installagent";
  std::string work = scratch / "work";
  std::string resources = scratch / "Setup.app/Contents/Resources";
  std::string record = scratch / "args";
  RecordingView view{[] {}};
  bool started = false;
  bool openAtFailure = false;
  bool waits = true;  // the view keeps a failure on screen
  int64_t bytes = 0;
};

}  // namespace

TEST_F(DownloadRoad, FreshDownloadIsUnpackedTaggedAndStartedOnce) {
  runController(fileUrl("?etag=%22v2%22"));
  EXPECT_TRUE(started);
  auto args = readArgsRecord(record, 10);
  ASSERT_TRUE(args);
  EXPECT_EQ(*args, (std::vector<std::string>{agentDir + "/install", "-installbundle",
                                             resources + "/bundle.zip", "two words", ""}));
  EXPECT_EQ(readFile(agentDir + "/lib/data"), "v2");
  EXPECT_EQ(readFile(cacheDir + ".validatestring"), "\"v2\"");
  EXPECT_EQ(view.texts.front(), "Downloading   0%");
  EXPECT_EQ(view.texts.at(view.texts.size() - 2), "Downloading 100%");
  EXPECT_EQ(view.texts.back(), "Initializing the installer");
  EXPECT_FALSE(view.cancelEnabled);
  EXPECT_EQ(view.color, TextColor::Normal);
  EXPECT_DOUBLE_EQ(view.value, view.max);
  EXPECT_EQ(view.received, bytes);
  EXPECT_EQ(listDir(cacheDir), (std::vector<std::string>{".validatestring", "installagent"}));  // no staging left
}

TEST_F(DownloadRoad, MatchingTagReusesCacheWithoutDownloading) {
  seedCache("\"v2\"", "cached");
  runController(fileUrl("?etag=%22v2%22"));
  EXPECT_TRUE(started);
  EXPECT_EQ(view.closes, 1);
  EXPECT_EQ(bytes, 0);
  EXPECT_TRUE(view.texts.empty());  // the progress display is not touched
  EXPECT_FALSE(exists(downloadTo));
  EXPECT_TRUE(readArgsRecord(record, 10));
  EXPECT_EQ(readFile(agentDir + "/marker"), "cached");
}

TEST_F(DownloadRoad, ChangedTagReplacesTheStaleAgent) {
  seedCache("\"v1\"", "stale");
  runController(fileUrl("?etag=%22v2%22"));
  EXPECT_TRUE(started);
  EXPECT_FALSE(exists(agentDir + "/marker"));
  EXPECT_EQ(readFile(agentDir + "/lib/data"), "v2");
  EXPECT_EQ(readFile(cacheDir + ".validatestring"), "\"v2\"");
}

TEST_F(DownloadRoad, ResponseWithoutTagDownloadsAndRecordsNone) {
  seedCache("\"v1\"", "stale");
  runController(fileUrl("?chunked=1"));  // no ETag, no length either
  EXPECT_TRUE(started);
  EXPECT_FALSE(exists(cacheDir + ".validatestring"));
  EXPECT_EQ(readFile(agentDir + "/lib/data"), "v2");
  // Unknown length: no percentage, the bar runs indeterminate.
  EXPECT_EQ(view.texts, std::vector<std::string>{"Initializing the installer"});
  EXPECT_GT(view.received, 0);
  EXPECT_EQ(view.total, -1);
}

// A 500 may pass: it is retried (a line in the log each time, a note in the
// window), and only when the retries are spent does the user see a failure.
TEST_F(DownloadRoad, ServerErrorIsRetriedThenShownAndKeepsValidCache) {
  seedCache("\"v2\"", "cached");
  testing::internal::CaptureStderr();
  runController(server.url("/status?code=500"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(started);
  EXPECT_TRUE(openAtFailure);
  EXPECT_EQ(view.texts.back(),
            "Error during the download process. See your system log for more information.");
  EXPECT_EQ(view.color, TextColor::Red);
  EXPECT_FALSE(view.animating);
  EXPECT_DOUBLE_EQ(view.value, view.max);
  auto logged = lines(err);
  ASSERT_EQ(logged.size(), downloadRetries + 1u) << err;
  for (int i = 0; i < downloadRetries; ++i)
    EXPECT_EQ(logged[i].rfind("Download attempt failed, retrying in ", 0), 0u) << err;
  EXPECT_EQ(view.details.size(), downloadRetries + 1u);  // the notes, then cleared at the failure
  EXPECT_EQ(view.details.back(), "");
  EXPECT_EQ(logged.back(), "Download failed! Error - HTTP status 500 " + server.url("/status?code=500"));
  EXPECT_EQ(readFile(agentDir + "/marker"), "cached");  // a passing error never discards the cache
  EXPECT_TRUE(isCacheValid(cacheDir, "\"v2\""));
  EXPECT_FALSE(exists(downloadTo));
  EXPECT_FALSE(readArgsRecord(record));
}

TEST_F(DownloadRoad, DroppedConnectionLeavesNoArchive) {
  testing::internal::CaptureStderr();
  runController(server.url("/drop?size=100000&after=5000"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(started);
  EXPECT_EQ(view.color, TextColor::Red);
  EXPECT_EQ(listDir(work), std::vector<std::string>{});
}

TEST_F(DownloadRoad, ArchiveWithoutInstallIsAFailedUnpack) {
  seedCache("\"v1\"", "stale");
  makeZip(server_root / "agent.zip", {{"setup.sh", "x"}});
  runController(fileUrl("?etag=%22v3%22"));
  EXPECT_FALSE(started);
  EXPECT_TRUE(openAtFailure);
  EXPECT_EQ(view.texts.back(), "Failed to unzip the installer.");
  EXPECT_EQ(view.color, TextColor::Red);
  EXPECT_FALSE(view.cancelEnabled);
  EXPECT_FALSE(isCacheValid(cacheDir, "\"v3\""));  // no tag for a broken cache
  EXPECT_FALSE(exists(agentDir));
  EXPECT_EQ(listDir(cacheDir), std::vector<std::string>{".validatestring"});  // no staging left
}

TEST_F(DownloadRoad, CorruptArchiveIsReportedOnStandardErrorToo) {
  writeFile(server_root / "agent.zip", "PK\x03\x04 broken");
  testing::internal::CaptureStderr();
  runController(fileUrl("?etag=%22v3%22"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(started);
  EXPECT_EQ(view.texts.back(), "Failed to unzip the installer.");
  EXPECT_NE(err.find("Failed to unzip the install agent\n"), std::string::npos) << err;
  EXPECT_FALSE(exists(cacheDir + ".validatestring"));
}

TEST_F(DownloadRoad, ClosingTheWindowCancelsTheDownload) {
  // Close as soon as the first data arrives from a slow server.
  runController(server.url("/trickle?size=1000000&chunk=1000&interval=0.05"), [](RecordingView& v) {
    if (v.received > 0) v.close();
  });
  EXPECT_FALSE(started);
  EXPECT_EQ(view.closes, 1);
  EXPECT_EQ(listDir(work), std::vector<std::string>{});
  EXPECT_FALSE(readArgsRecord(record));
}

TEST_F(DownloadRoad, SplashIsShownWhenTheBundleHasOne) {
  writeFile(resources + "/splash.png", "png");
  runController(server.url("/status?code=404"));
  EXPECT_EQ(view.splash, resources + "/splash.png");
  EXPECT_EQ(view.splashWidth, 400.0);
  EXPECT_EQ(view.splashHeight, 400.0);
}

TEST_F(DownloadRoad, MissingSplashIsNoError) {
  runController(server.url("/status?code=404"));
  EXPECT_EQ(view.splash, "");
  EXPECT_TRUE(openAtFailure);  // the download was still started, and failed
}

TEST_F(DownloadRoad, EmptyAddressFailsInTheWindow) {
  testing::internal::CaptureStderr();
  runController("");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(view.color, TextColor::Red);
  EXPECT_FALSE(started);
}

// Without a window to keep it, a failure ends the run by itself.
TEST_F(DownloadRoad, FailureWithNobodyToReadItEndsTheRun) {
  waits = false;
  testing::internal::CaptureStderr();
  runController(server.url("/status?code=404"));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(view.color, TextColor::Red);
  EXPECT_EQ(view.closes, 1);
  EXPECT_FALSE(openAtFailure);
}

// The percentage the status text shows for the bytes received so far.
TEST(DownloadProgress, PercentTextsAndBar) {
  ScratchDir home;
  setenv("HOME", home.path().c_str(), 1);
  platform::EventLoop loop;
  struct Case { int64_t length; std::vector<uint64_t> pieces; std::string text; double value; };
  for (const Case& c : {Case{1000, {4}, "Downloading   0%", 4}, Case{1000, {996}, "Downloading 100%", 996},
                        Case{1000, {424}, "Downloading  42%", 424}, Case{1000, {500, 500}, "Downloading 100%", 1000},
                        Case{1000, {2000, 500}, "Downloading 250%", 2500}}) {
    Download d(loop, report_error_main);
    RecordingView v([] {});
    d.setWindow(&v);
    d.didReceiveResponse({200, "\"t\"", c.length, {}});
    EXPECT_EQ(v.texts, std::vector<std::string>{"Downloading   0%"});
    EXPECT_EQ(v.max, static_cast<double>(c.length));
    EXPECT_FALSE(v.indeterminate);
    for (uint64_t n : c.pieces) d.didReceiveDataOfLength(n);
    EXPECT_EQ(v.texts.back(), c.text);
    EXPECT_DOUBLE_EQ(v.value, c.value);
  }
  Download unknown(loop, report_error_main);
  RecordingView v([] {});
  unknown.setWindow(&v);
  unknown.didReceiveResponse({200, std::nullopt, -1, {}});
  unknown.didReceiveDataOfLength(123);
  unknown.didReceiveDataOfLength(7);
  EXPECT_TRUE(v.indeterminate);
  EXPECT_TRUE(v.texts.empty());
  EXPECT_EQ(v.value, 0);
  EXPECT_EQ(unknown.bytesReceived(), 130);
  EXPECT_EQ(v.received, 130);
}
