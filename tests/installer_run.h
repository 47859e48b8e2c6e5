// Runs of the built installer from a bundle laid out as a vendor ships it,
// with a home, a temporary directory and a server of the test's own. The
// agent appends its version to `starts`, notes its ignored signals, then
// records its arguments.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "provisioning/build_constants.h"
#include "test_util.h"

namespace testing_util {

inline const Lines kDownloadFailed = {
    "Download failed!", "Error during the download process. See your system log for more information.",
    "Installation failed."};
inline const Lines kDownloadUnzipFailed = {"Failed to unzip the install agent", "Failed to unzip the installer.",
                                           "Installation failed."};
inline const Lines kShippedUnzipFailed = {"Failed to unzip the install agent",
                                          "Failed to initialize the install agent.", "Installation failed."};
inline const Lines kNoAgent = {"Failed to initialize the install agent.", "Installation failed."};

// Incompressible bytes, so that an archive is as large as its content.
inline std::string noise(size_t size) {
  std::mt19937 random(11);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

// One byte of the stored data flipped: unzip finds a bad CRC.
inline std::string damaged(std::string zip) {
  zip[zip.size() / 2] ^= 0xff;
  return zip;
}

// A wrapper that runs the installer after `mounts` (shell commands on $1)
// in a mount namespace of its own.
inline std::vector<std::string> afterMounting(const std::string& mounts, const std::string& arg) {
  return {"unshare", "-m", "sh", "-c", mounts + " && shift && exec \"$@\"", "sh", arg};
}
inline std::vector<std::string> readOnly(const std::string& dir) {
  return afterMounting("mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\"", dir);
}

class InstallerRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& dir : {macos, resources, tmp, home}) makeDirs(dir);
    ProcessResult cp = runProcess({"cp", INSTALLER_EXECUTABLE, INSTALLER_WINDOW_MODULE, INSTALLER_TRANSFER_MODULE, macos});
    ASSERT_EQ(cp.exitStatus, 0) << cp.err;
    writeFile(resources + "/bundle.zip", "product archive");
    publish("v1");
  }

  std::string agentScript() const {
    // What the shell holds beyond the standard three, but its own script; find writes the list itself:
    // a redirection would have the shell hold a copy of its standard output meanwhile.
    std::string descriptors = "find /proc/$$/fd -mindepth 1 -fprintf '" + inherited + ".all' '%f %l\\n'\n"
                              "while read -r n t; do [ \"$n\" -le 2 ] || [ \"$t\" -ef \"$0\" ] || printf '%s ' \"$t\"; "
                              "done < '" + inherited + ".all' > '" + inherited + "'\n";
    return "#!/bin/sh\ncat \"$(dirname \"$0\")/version\" >> '" + starts + "'\ngrep SigIgn /proc/$$/status > '" +
           ignoredSignals + "'\n" + descriptors + agentPrologue + recordingAgentScript(record, agentExit).substr(sizeof "#!/bin/sh\n" - 1);
  }
  Tree agentFiles(const std::string& version, size_t padding = 0) const {
    Tree files = {{"install", agentScript()}, {"version", version + "\n"}};
    if (padding) files["pad"] = noise(padding);
    return files;
  }
  void publish(const std::string& version, const std::string& name = "agent.zip", size_t padding = 0) {
    makeZip(served / name, agentFiles(version, padding));
  }
  void ship(const std::string& version, const std::string& name = "InstallAgent.zip") {
    makeZip(resources + "/" + name, agentFiles(version));
  }

  ProcessOptions options(const std::string& query) const {
    ProcessOptions o;
    o.env["HOME"] = home;
    o.env["TMPDIR"] = tmp;
    o.env["XDG_CURRENT_DESKTOP"] = std::nullopt;  // no desktop proxy unless a test asks for one
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = query[0] == '/' ? server.url(query) : query;
    o.env["__QV_BOOTSTRAP_INSTALLER_UNITTEST__"] = std::nullopt;
    if (!withDisplay) {  // failures end the run at once only on the console
      o.env["DISPLAY"] = std::nullopt;
      o.env["WAYLAND_DISPLAY"] = std::nullopt;
    } else if (!getenv("DBUS_SESSION_BUS_ADDRESS")) {
      // Without a session bus the toolkit's accessibility bridge would
      // start one of its own and leave its files in the test's home.
      o.env["DBUS_SESSION_BUS_ADDRESS"] = "disabled:";
    }
    o.workingDirectory = scratch.path();
    o.timeoutSeconds = 60;
    return o;
  }
  // Runs the installer, through `wrapper` when given.
  ProcessResult run(const ProcessOptions& o, const std::vector<std::string>& args = {},
                    std::vector<std::string> wrapper = {}) {
    unlink(record.c_str());
    wrapper.push_back(executable);
    wrapper.insert(wrapper.end(), args.begin(), args.end());
    return runProcess(wrapper, o);
  }
  ProcessResult run(const std::string& query, const std::vector<std::string>& args = {}) {
    return run(options(query), args);
  }

  // Our own lines on standard error (not unzip's, not progress); a download
  // failure's line cut to its first words.
  static Lines ourLines(const std::string& err) {
    Lines out;
    for (const auto& l : lines(err))
      if (l.rfind("Download failed!", 0) == 0)
        out.push_back("Download failed!");
      else if (l.rfind("Failed", 0) == 0 || l.rfind("Installation", 0) == 0 || l.rfind("Error during", 0) == 0)
        out.push_back(l);
    return out;
  }

  // The version of the agent that just started, after checking it was
  // started as `script`; "" when none started.
  std::string startedVersion(const std::string& script) {
    auto args = readArgsRecord(record, 10);
    if (!args) return "";
    EXPECT_GE(args->size(), 3u);
    EXPECT_EQ(args->empty() ? "" : (*args)[0], script);
    Lines all = lines(readFile(starts));
    return all.empty() ? "" : all.back();
  }
  size_t startCount() const { return lines(readFile(starts)).size(); }
  // A run that had to fail: 255, our lines (when given) and `inErr` on
  // standard error, no agent started, nothing left in the temporary directory.
  void expectFailed(const ProcessResult& r, const Lines& ours, const std::string& inErr) {
    EXPECT_EQ(r.exitStatus, 255);
    if (!ours.empty()) { EXPECT_EQ(ourLines(r.err), ours) << r.err; }
    EXPECT_TRUE(contains(r.err, inErr)) << r.err;
    EXPECT_EQ(startCount(), 0u);
    EXPECT_EQ(listDir(tmp), Lines{});
  }
  // A row that needs a mount namespace where there is none is noted, and
  // the test then reported as skipped.
  bool lacksNamespace(bool needed, const std::string& row) {
    static const bool has = runProcess({"unshare", "-m", "true"}).exitStatus == 0;
    if (needed && !has) skippedRows += " [" + row + "]";
    return needed && !has;
  }
  void TearDown() override {
    if (!skippedRows.empty()) GTEST_SKIP() << "needs a mount namespace (root; CI has one):" << skippedRows;
  }
  // Whether the last agent got `signal` as ignored ("SigIgn:\t<hex mask>").
  bool agentIgnored(int signal) const {
    std::string line = readFile(ignoredSignals);
    auto tab = line.find('\t');
    return tab == std::string::npos || (std::stoull(line.substr(tab + 1), nullptr, 16) >> (signal - 1) & 1);
  }

  // What the last agent had open beyond standard input, output and error.
  std::string agentDescriptors() const { return readFile(inherited); }
  // Runs the installer with a descriptor of its own caller's open, one no child of it may get.
  const std::vector<std::string> withStrayDescriptor = {"sh", "-c", "exec \"$@\" 7</dev/null", "sh"};

  // The address on the shipped road, which never asks the server: a request for it shows as a 404.
  const std::string shippedRoad = "/files/never-asked-for.zip";
  bool withDisplay = false;
  std::string agentPrologue;  // shell lines the agent runs before it records
  int agentExit = 0;          // the agent's exit status, which the run does not look at
  std::string skippedRows;
  ScratchDir scratch, served;
  TestHttpServer server{served.path()};
  std::string app = scratch / "vol/Setup.app", macos = app + "/Contents/MacOS/";
  std::string executable = macos + "bootstrap-installer", resources = app + "/Contents/Resources";
  std::string home = scratch / "home", tmp = scratch / "tmp";
  std::string cache = home + "/.velmor/installagent/7.16.0/darw64";
  std::string agent = cache + "/installagent/install";
  std::string record = scratch / "args", starts = scratch / "starts", ignoredSignals = scratch / "sigign";
  std::string inherited = scratch / "descriptors";
};

// An installer that trusts two keys made for this build tree.
class Signed : public InstallerRun {
 protected:
  void SetUp() override {
    InstallerRun::SetUp();
    ASSERT_EQ(runProcess({"cp", SIGNED_INSTALLER_EXECUTABLE, executable}).exitStatus, 0);
  }
  void sign(const std::string& file, const std::string& key, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"minisign", "-S", "-s", std::string(TEST_KEYS_DIR) + "/" + key + ".key", "-m", file};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ASSERT_EQ(runProcess(argv).exitStatus, 0);
  }
  void publishSigned(const std::string& version, const std::string& key, const std::string& timestamp) {
    publish(version, installAgentFileName, padding);
    sign(zip, key, {"-t", "timestamp:" + timestamp + "\tfile:" + installAgentFileName});
  }
  std::string address(const std::string& tag) const { return "/files/" + installAgentFileName + "?etag=" + tag; }
  std::string zip = served / installAgentFileName, sig = zip + ".minisig";
  size_t padding = 0;
};

}  // namespace testing_util
