// Runs of the built installer on the download road: a fixture bundle
// without a shipped agent, the loopback server serving `served`, a home
// and a temporary directory of the test's own, and an agent that reports
// its version and arguments.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "fixture_bundle.h"
#include "test_http_server.h"

namespace testing_util {

using Lines = std::vector<std::string>;

inline const Lines kDownloadFailed = {
    "Download failed!", "Error during the download process. See your system log for more information.",
    "Installation failed."};
inline const Lines kDownloadUnzipFailed = {"Failed to unzip the install agent", "Failed to unzip the installer.",
                                           "Installation failed."};
inline const Lines kShippedUnzipFailed = {"Failed to unzip the install agent",
                                          "Failed to initialize the install agent.", "Installation failed."};

// Incompressible bytes, so that an archive is as large as its content.
inline std::string noise(size_t size) {
  std::mt19937 random(11);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

class InstallerRun : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(tmp);
    makeDirs(home);
    publish("v1");
  }

  // The agent appends its version to `starts`, notes the signals it was
  // given as ignored, then records its arguments.
  std::string agentScript() const {
    return "#!/bin/sh\ncat \"$(dirname \"$0\")/version\" >> '" + starts + "'\n" +
           "grep SigIgn /proc/$$/status > '" + ignoredSignals + "'\n" + agentPrologue +
           recordingAgentScript(record).substr(sizeof "#!/bin/sh\n" - 1);
  }
  void publish(const std::string& version, const std::string& name = "agent.zip", size_t padding = 0) {
    std::map<std::string, std::string> files = {{"install", agentScript()}, {"version", version + "\n"}};
    if (padding) files["pad"] = noise(padding);
    makeZip(served / name, files);
  }

  ProcessOptions options(const std::string& query) const {
    ProcessOptions o;
    o.env["HOME"] = home;
    o.env["TMPDIR"] = tmp;
    o.env["XDG_CURRENT_DESKTOP"] = std::nullopt;  // the desktop's proxy has a test of its own
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = server.url(query);
    o.env["__QV_BOOTSTRAP_INSTALLER_UNITTEST__"] = std::nullopt;
    if (!withDisplay) {  // failures end the run at once only on the console
      o.env["DISPLAY"] = std::nullopt;
      o.env["WAYLAND_DISPLAY"] = std::nullopt;
    }
    o.workingDirectory = scratch.path();
    o.timeoutSeconds = 60;
    return o;
  }
  ProcessResult run(const ProcessOptions& o, const std::vector<std::string>& args = {}) {
    unlink(record.c_str());
    return bundle.run(args, o);
  }
  ProcessResult run(const std::string& query, const std::vector<std::string>& args = {}) {
    return run(options(query), args);
  }

  // Our own lines on standard error, without unzip's or the progress lines;
  // a download failure's line is cut to its first words.
  static Lines ourLines(const std::string& err) {
    Lines out;
    for (const auto& l : lines(err)) {
      if (l.rfind("Download failed!", 0) == 0)
        out.push_back("Download failed!");
      else if (l.rfind("Failed", 0) == 0 || l.rfind("Installation", 0) == 0 || l.rfind("Error during", 0) == 0)
        out.push_back(l);
    }
    return out;
  }

  // The version the agent that just started reported, after checking that
  // it was `script`; "" when no agent started.
  std::string startedVersion(const std::string& script) {
    auto args = readArgsRecord(record, 10);
    if (!args) return "";
    EXPECT_GE(args->size(), 3u);
    if (!args->empty()) {
      EXPECT_EQ((*args)[0], script);
    }
    Lines all = lines(readFile(starts));
    return all.empty() ? "" : all.back();
  }
  size_t startCount() const { return lines(readFile(starts)).size(); }
  // Started agents run on their own: waits (a while) until `n` have started.
  size_t waitForStarts(size_t n) const {
    for (int i = 0; i < 500 && startCount() < n; ++i) usleep(20000);
    return startCount();
  }

  bool withDisplay = false;
  std::string agentPrologue;  // shell lines the agent runs before it records
  ScratchDir scratch;
  ScratchDir served;
  TestHttpServer server{served.path()};
  FixtureBundle bundle{scratch / "vol"};
  std::string home = scratch / "home";
  std::string tmp = scratch / "tmp";
  std::string cache = home + "/.velmor/installagent/7.16.0/darw64";
  std::string agent = cache + "/installagent/install";
  std::string record = scratch / "args";
  std::string starts = scratch / "starts";
  std::string ignoredSignals = scratch / "sigign";
};

// Whether a "SigIgn:\t<hex mask>" line from /proc says `signal` was ignored.
inline bool signalIgnored(const std::string& sigIgnLine, int signal) {
  auto tab = sigIgnLine.find('\t');
  if (tab == std::string::npos) return true;
  unsigned long long mask = std::stoull(sigIgnLine.substr(tab + 1), nullptr, 16);
  return (mask >> (signal - 1)) & 1;
}

}  // namespace testing_util
