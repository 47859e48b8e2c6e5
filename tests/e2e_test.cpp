// The built installer, run as a user runs it, against a real server and the
// faults of the field: every failure says so, ends with 255, leaves nothing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "download/archive_fetch.h"
#include "installer_run.h"
#include "platform/quantities.h"
#include "provisioning/build_constants.h"

using namespace testing_util;

namespace {

// TMPDIR on a 1 MB file system.
std::vector<std::string> onSmallDisk(const std::string& dir) {
  makeDirs(dir);
  return afterMounting("mount -t tmpfs -o size=1m tmpfs \"$1\"", dir);
}
std::vector<std::string> withFileLimit(int kilobytes) {
  return {"sh", "-c", "ulimit -f " + std::to_string(kilobytes * 2) + " && exec \"$0\" \"$@\""};
}

// An agent archive whose headers claim its 8 MB of zeros are 1000 bytes.
std::string understated(const std::string& install) {
  ScratchDir dir;
  EXPECT_EQ(runProcess({"python3", "-c", "import struct, sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w', 8)\n"
      "z.writestr('install', sys.argv[2]); z.writestr('big', bytes(8 << 20)); z.close()\n"
      "data = bytearray(open(sys.argv[1], 'rb').read())\n"
      "for sig, at in ((b'PK\\x03\\x04', 22), (b'PK\\x01\\x02', 24)):\n"
      "    data[data.rfind(sig) + at:data.rfind(sig) + at + 4] = struct.pack('<I', 1000)\n"
      "open(sys.argv[1], 'wb').write(data)\n", dir / "a.zip", install}).exitStatus, 0);
  return readFile(dir / "a.zip");
}

using E2E = InstallerRun;

}  // namespace

// A TMPDIR that is missing or open to others is passed over for /tmp, and so is one where no code may run,
// unless no other place allows it; a linked or relative one is used resolved. The agent runs a helper of its
// own directly.
TEST_F(E2E, ShippedAgentGetsEveryArgumentInAPrivateDirectory) {
  const std::vector<std::string> userArgs = {"-mode", "two words", "", "$(touch PWNED)", "a\"b\\c`x`", "~", "~root"};
  const std::string noexec = "mount --bind \"$1\" \"$1\" && mount -o remount,bind,noexec \"$1\"";
  agentExit = 3;
  const std::string linked = scratch / "linked", relative = "relative";  // a link to scratch/private; a name
  makeDirs(scratch / "private"), chmod((scratch / "private").c_str(), 0700), symlink("private", linked.c_str());
  struct Row {
    std::string tmpdir; std::optional<mode_t> made; std::string parent, mounts = ""; bool helped = true;
  } rows[] = {
      {"t m p $HOME `x` \"q\" ;&", 0700, scratch / "t m p $HOME `x` \"q\" ;&/qv"},
      {"missing", std::nullopt, "/tmp/qv"},
      {"open to all", 0777, "/tmp/qv"},
      {"linked", std::nullopt, scratch / "private/qv"},  // resolved
      {"relative", 0700, scratch / "relative/qv"},      // from the run's working directory
      {"noexec", 0700, "/tmp/qv", noexec},
      {"noexec, as is every place but the bundle", 0700, scratch / "noexec, as is every place but the bundle/qv",
       "mount --bind /tmp /tmp && mount -o remount,bind,noexec /tmp && mount --bind '" + app + "' '" + app +
           "' && mount -o remount,bind,exec '" + app + "'", false},
  };
  agentPrologue = "\"$(dirname \"$0\")/helper\"\n";
  Tree files = agentFiles("v1");
  files["helper"] = "#!/bin/sh\ntouch '" + scratch / "helped" + "'\n";
  makeZip(resources + "/InstallAgent_7.16.zip", files);  // a versioned name counts too
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tmpdir);
    if (lacksNamespace(!row.mounts.empty(), row.tmpdir)) continue;
    if (row.made) makeDirs(scratch / row.tmpdir), chmod((scratch / row.tmpdir).c_str(), *row.made);
    unlink((scratch / "helped").c_str());
    ProcessOptions o = options(shippedRoad);
    o.env["TMPDIR"] = row.tmpdir == relative ? relative : scratch / row.tmpdir;
    ProcessResult r = run(o, userArgs, row.mounts.empty() ? Lines{} : afterMounting(row.mounts, scratch / row.tmpdir));
    EXPECT_EQ(exists(scratch / "helped"), row.helped) << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    Lines got = readArgsRecord(record).value_or(Lines{""});
    Lines expected = {got[0], "-installbundle", resources + "/bundle.zip"};
    expected.insert(expected.end(), userArgs.begin(), userArgs.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got[0].rfind(row.parent, 0), 0u) << got[0];
    EXPECT_FALSE(exists(got[0]));  // the run waited for the agent, then cleaned up
    EXPECT_EQ(listDir(scratch / row.tmpdir), Lines{});
    EXPECT_FALSE(agentIgnored(SIGPIPE) || agentIgnored(SIGXFSZ));  // the installer ignores these for itself only
    EXPECT_EQ(agentDescriptors(), "");
  }
  EXPECT_FALSE(exists(scratch / "PWNED"));
  EXPECT_FALSE(exists(home + "/.velmor"));  // the cache is not touched on this road
  // The test variable, even empty, has the agent unpacked beside the bundle.
  ProcessOptions beside = options(shippedRoad);
  beside.env["__QV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
  EXPECT_EQ(run(beside).exitStatus, 0);
  EXPECT_EQ(readArgsRecord(record).value_or(Lines{""})[0], scratch / "vol/install");
}

// No archive, staging directory, tag or agent may stay behind a failure. What an archive without its install
// script says is AgentPaths.AnUnpackedAgentHoldsItsInstallScriptElseSaysWhy's; here each road fails on it.
TEST_F(E2E, BrokenAgentsFailWithTheirMessagesAndLeaveNothing) {
  const std::string zip = resources + "/InstallAgent.zip", small = scratch / "small";
  const Tree sparse = {{"install", agentScript()}, {"version", "v1\n"}, {"z", std::string(3000000, 0)}};
  auto shipped = [&](Tree files) { return [=] { makeZip(zip, files); }; };
  auto files = [](const std::string& q) { return "/files/" + q + (contains(q, "?") ? "&" : "?") + "etag=%22x%22"; };
  publish("v1", "big.zip", 400000);
  publish("v1", "mid.zip", 200000);  // only its last writes meet the full disk
  publish("v1", "huge.zip", 3000000);
  makeZip(served / "sparse.zip", sparse);
  writeFile(served / "damaged.zip", damaged(readFile(served / "big.zip")));
  writeFile(served / "text.zip", "this is a text file, not an archive\n");
  makeZip(served / "noinstall.zip", {{"agent/install", agentScript()}});
  const Tree linked = {{"install", "->bin/run"}, {"bin/run", agentScript()}, {"version", "v1\n"}};
  makeZip(served / "installlink.zip", linked);
  const std::string deep = "import os, sys\nos.chdir(sys.argv[1])\n"  // no path handed to the system is that long
      "for _ in range(25): os.mkdir('d' * 200); os.chdir('d' * 200)\nos.link(sys.argv[2], 'i'); os.execv('./i', ['i'])";
  const std::string noUnzip = "unzip is not installed: the installer needs it to unpack the install agent\n"
                              "Failed to initialize the install agent.\nInstallation failed.\n";
  const Lines noPath = {"env", "PATH=" + scratch / "none"};
  makeDirs(scratch / "busybox");
  ASSERT_EQ(symlink("/bin/busybox", (scratch / "busybox/unzip").c_str()), 0);
  const Lines busybox = {"env", "PATH=" + scratch / "busybox:" + getenv("PATH")};
  auto with = [](Lines wrapper, const Lines& more) { return wrapper.insert(wrapper.end(), more.begin(), more.end()), wrapper; };
  struct Row {
    std::string name, address;  // shippedRoad: no download
    std::function<void()> setUp;
    Lines ours;
    std::string inErr;
    std::vector<std::string> wrapper = {};
    bool smallDisk = false;                // TMPDIR on a 1 MB file system
    std::optional<long> requests = {};     // the server's count, when it matters
  } rows[] = {
      {"shipped: no install entry", shippedRoad, shipped({{"setup", "x"}}), kNoAgent,
       "The install agent archive has no install script at its top level\nFailed to initialize"},
      {"shipped: damaged", shippedRoad, [&] { shipped(agentFiles("v1", 200000))(), writeFile(zip, damaged(readFile(zip))); },
       kShippedUnzipFailed, "bad CRC"},
      {"shipped: full disk while unpacking", shippedRoad, shipped(sparse), kShippedUnzipFailed, "write error",
       withFileLimit(200)},
      {"shipped: more than the free space", shippedRoad, shipped(sparse), kShippedUnzipFailed,
       "The install agent archive unpacks to 3.0\u00a0MB, more than the 1.0\u00a0MB free on ", onSmallDisk(small), true},
      {"shipped: more than the free space, busybox's unzip", shippedRoad, shipped(sparse), kShippedUnzipFailed,
       "The install agent archive unpacks to 3.0\u00a0MB, more than the 1.0\u00a0MB free on ",
       with(onSmallDisk(small), busybox), true},
      {"shipped: understates its size", shippedRoad, [&] { writeFile(zip, understated(agentScript())); },
       kShippedUnzipFailed, "The install agent archive unpacks to at least ", onSmallDisk(small), true},
      {"shipped: own path beyond PATH_MAX", shippedRoad, [&] { ship("v1"); }, {},
       "Cannot find the installer's own location.\nInstallation failed.\n", {"python3", "-c", deep, scratch.path()}},
      {"shipped: no unzip", shippedRoad, [&] { ship("v1"); }, kNoAgent, noUnzip, noPath, false, 0},
      {"no unzip", files("agent.zip"), nullptr, kNoAgent, noUnzip, noPath, false, 0},
      {"missing", files("missing.zip"), nullptr, kDownloadFailed, "Error - HTTP status 404 http"},
      {"not a zip", files("text.zip"), nullptr, kDownloadFailed, "not the installer"},
      {"damaged", files("damaged.zip"), nullptr, kDownloadUnzipFailed, "bad CRC"},
      {"its folder zipped", files("noinstall.zip"), nullptr, {"Failed to unzip the installer.", "Installation failed."},
       "but agent/install: the folder agent was zipped"},
      {"less free space than announced", files("huge.zip"), nullptr, kDownloadFailed,
       "not enough disk space: 3.0\u00a0MB needed, 1.0\u00a0MB free", onSmallDisk(small), true},
      {"full disk while downloading", files("big.zip"), nullptr, kDownloadFailed, "File too large", withFileLimit(100)},
      {"full disk at the last write", files("mid.zip"), nullptr, kDownloadFailed, "File too large", withFileLimit(100)},
      {"a drop, then the disk full while resuming", files("big.zip?failures=1&dropafter=100000"), nullptr,
       kDownloadFailed, "File too large", withFileLimit(100)},
      {"full disk while unpacking", files("sparse.zip"), nullptr, kDownloadUnzipFailed, "write error", withFileLimit(200)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (lacksNamespace(row.smallDisk, row.name)) continue;
    runProcess({"rm", "-rf", zip, home + "/.velmor"});
    server.reset();
    if (row.setUp) row.setUp();
    ProcessOptions o = options(row.address);
    if (row.smallDisk) o.env["TMPDIR"] = small;
    expectFailed(run(o, {}, row.wrapper), row.ours, row.inErr);
    if (row.requests) { EXPECT_EQ(server.stat("requests"), *row.requests); }
    Lines left = listDir(cache);
    EXPECT_TRUE(left.empty() || left == Lines{"installagent"}) << ::testing::PrintToString(left);
    EXPECT_EQ(listDir(cache + "/installagent"), Lines{});
  }
  // Good archives run, twice (the second time from the cache, for no body), with busybox's unzip too.
  struct Good { std::string address; std::function<void()> setUp; bool busybox; } good[] = {
      {shippedRoad, shipped(agentFiles("v1")), false}, {shippedRoad, shipped(agentFiles("v1")), true},
      {shippedRoad, shipped(linked), false}, {files("sparse.zip"), nullptr, false}, {files("big.zip"), nullptr, true},
      {files("installlink.zip"), nullptr, false},
  };
  for (const Good& row : good) {
    SCOPED_TRACE(row.address + (row.busybox ? " with busybox's unzip" : ""));
    runProcess({"rm", "-rf", zip, home + "/.velmor", starts});
    if (row.setUp) row.setUp();
    for (int i = 0; i < 2; ++i) {
      server.reset();
      EXPECT_EQ(run(options(row.address), {}, row.busybox ? busybox : Lines{}).exitStatus, 0);
    }
    EXPECT_EQ(lines(readFile(starts)), (Lines{"v1", "v1"}));
    EXPECT_EQ(server.stat("requests"), row.address == shippedRoad ? 0 : 1);
    EXPECT_EQ(server.stat("body_bytes_sent"), 0);
  }
}

// A 304 without an ETag speaks of the tag sent; a weak validator is not the
// tag recorded; a new agent without a tag leaves none behind. The run
// returns only after the agent, even one that lets go of our output.
class DownloadRoad : public InstallerRun, public ::testing::WithParamInterface<bool> {};
TEST_P(DownloadRoad, DownloadsThenReusesThenReplacesTheCache) {
  withDisplay = GetParam();
  if (withDisplay && !getenv("DISPLAY")) GTEST_SKIP() << "needs a display (xvfb-run; CI has one)";
  agentPrologue = "exec >/dev/null 2>&1\nsleep 0.3\n";
  agentExit = 3;  // the run's own status stays that of starting it, from the window too
  struct Row { std::string etag, served, started; long requests; std::string tag; } rows[] = {
      {"%22one%22", "v1", "v1", 1, "\"one\""},
      {"%22one%22", "v2", "v1", 1, "\"one\""},
      {"%22two%22", "v2", "v2", 1, "\"two\""},
      {"W/%22two%22", "v3", "v3", 2, "W/\"two\""},
      {"W/%22two%22&bare304=1", "v4", "v3", 1, "W/\"two\""},
      {"", "v5", "v5", 1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.etag + " " + row.served);
    publish(row.served);
    server.reset();
    ProcessResult r = run(options("/files/agent.zip" + (row.etag.empty() ? "" : "?etag=" + row.etag)),
                          {"-x", "a b", ""}, withStrayDescriptor);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(exists(record));  // already: the run waited
    EXPECT_EQ(readArgsRecord(record).value_or(Lines{}), (Lines{agent, "-installbundle", resources + "/bundle.zip", "-x", "a b", ""}));
    EXPECT_EQ(lines(readFile(starts)).back(), row.started);
    EXPECT_EQ(server.stat("requests"), row.requests);
    EXPECT_EQ(readFile(cache + "/.validatestring"), row.tag);
    EXPECT_EQ(listDir(cache), (row.tag.empty() ? Lines{"installagent"} : Lines{".validatestring", "installagent"}));
    EXPECT_EQ(listDir(tmp), Lines{});
    EXPECT_FALSE(agentIgnored(SIGPIPE) || agentIgnored(SIGXFSZ));
    EXPECT_EQ(agentDescriptors(), "");  // no socket, window connection or stray descriptor
  }
  EXPECT_EQ(listDir(home), Lines{".velmor"});  // nothing else below the home directory
  for (std::string dir = cache; dir != home; dir = dir.substr(0, dir.rfind('/'))) EXPECT_EQ(modeOf(dir), 0700) << dir;
}
INSTANTIATE_TEST_SUITE_P(Display, DownloadRoad, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Window" : "Console"; });

// On a terminal the console redraws its progress line in place, on standard error: standard output, a file
// here, gets none of it.
TEST_F(E2E, ProgressRedrawsGoToStandardErrorOnly) {
  publish("v1", "agent.zip", 300000);
  ProcessOptions o = options("/files/agent.zip?rate=600000");
  o.env["INSTALLER"] = executable;
  ProcessResult terminal = runProcess({"script", "-qec", "\"$INSTALLER\" > out", "/dev/null"}, o);
  EXPECT_EQ(terminal.exitStatus, 0) << terminal.out;
  EXPECT_TRUE(contains(terminal.out, "\rDownloading")) << terminal.out;
  EXPECT_EQ(readFile(scratch / "out"), "");
}

// No server can move the installer's limits on bytes, requests and time;
// the server counts the requests, body bytes and ranges it saw.
TEST_F(E2E, ServersFlakyOrHostileMeetTheInstallersOwnLimits) {
  if (maxArchiveBytes > (64u << 20) || downloadDeadlineSeconds > 30 || maxArchiveRequests > 20)
    GTEST_SKIP() << "needs a build with small limits (scripts/test makes one)";
  publish("v1", "big.zip", 300000);
  publish("v1", "huge.zip", 7000000);
  writeFile(served / "html.zip", "<html>" + std::string(16000000, 'x'));  // under the test build's cap
  publish("v1", "slow.zip", static_cast<size_t>(downloadDeadlineSeconds * 50000 * 1.2));  // 12 s at 50 kB/s
  const long size = readFile(served / "big.zip").size(), hugeSize = readFile(served / "huge.zip").size();
  const long slowSize = readFile(served / "slow.zip").size();
  const long cap = static_cast<long>(maxArchiveBytes);
  const std::string larger = "the download is larger than this installer accepts (";
  struct BodyBytes { long count; bool atMost; };  // the server's body bytes: exactly, or at most (stopped early)
  auto exactly = [](long count) { return BodyBytes{count, false}; };
  auto atMost = [](long count) { return BodyBytes{count, true}; };
  struct Row {
    std::string name, query, inErr;
    long requests;
    BodyBytes body;
    std::string ranges = "[]", cachedTag = "";
  } rows[] = {
      {"dropped six times after real progress: resumed each time, no retry used up",
       "/files/huge.zip?etag=%22h%22&failures=6&dropafter=1100000", "retrying in 0.0 s", 7, exactly(hugeSize),
       R"(["bytes=1100000-", "bytes=2200000-", "bytes=3300000-", "bytes=4400000-", "bytes=5500000-", "bytes=6600000-"])"},
      {"Retry-After honoured", "/files/big.zip?etag=%22a%22&failures=1&status=503&retryafter=1",
       "retrying in 1.0 s: HTTP status 503", 2, exactly(size)},
      {"not an archive: refused at its first bytes", "/files/html.zip", "Error - the server sent something that is not",
       1, atMost(8000000)},  // half of it: stopped, not read to the end
      {"endless resume: every answer breaks off after real progress",
       "/hostile/dropping?etag=%22d%22&dropafter=1153434&announce=" + std::to_string(cap - 1),
       "Error - the server keeps dropping the connection", maxArchiveRequests, atMost(2 * cap), ""},
      {"announced larger than accepted", "/hostile/dropping?dropafter=10&announce=" + std::to_string(cap + 1),
       "Error - " + larger + platform::formatByteCount(cap + 1) + ")", 1, atMost(2 * cap)},
      {"endless body without a length", "/hostile/endless",
       "Error - " + larger + "more than " + platform::formatByteCount(cap) + ")", 1, atMost(2 * cap)},
      {"an honest slow link outlasts the deadline", "/files/slow.zip?etag=%22s%22&rate=50000", "", 1, exactly(slowSize)},
      {"endless trickle above the stall floor", "/hostile/endless?rate=2000",
       "Error - the download took longer than " + window::durationInWords(downloadDeadlineSeconds), 1, atMost(2 * cap)},
      {"304 to everything, naming another tag", "/hostile/always304?etag=%22two%22", "named no cached agent", 2,
       exactly(0), "[]", "\"one\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    runProcess({"rm", "-rf", home + "/.velmor", starts});
    if (!row.cachedTag.empty()) {
      makeDirs(cache + "/installagent");
      writeFile(agent, agentScript(), 0755);
      writeFile(cache + "/.validatestring", row.cachedTag);
    }
    server.reset();
    ProcessResult r = run(row.query);
    bool good = row.inErr.rfind("Error - ", 0) != 0 && row.inErr.find("named no") == std::string::npos;
    EXPECT_EQ(r.exitStatus, good ? 0 : 255) << r.err;
    EXPECT_TRUE(contains(r.err, row.inErr)) << r.err;
    EXPECT_EQ(server.stat("requests"), row.requests);
    long sent = server.stat("body_bytes_sent");
    EXPECT_TRUE(row.body.atMost ? sent <= row.body.count : sent == row.body.count) << sent;
    if (!good) { EXPECT_EQ(occurrences(r.err, row.inErr), 1u) << r.err; }  // the cause said once
    EXPECT_TRUE(row.ranges.empty() || contains(server.stats(), "\"ranges\": " + row.ranges + "}")) << server.stats();
    EXPECT_EQ(startCount(), good ? 1u : 0u);
    EXPECT_EQ(listDir(tmp), Lines{});
    Lines cacheAfterFailure = row.cachedTag.empty() ? Lines{"installagent"} : Lines{".validatestring", "installagent"};
    EXPECT_TRUE(good || listDir(cache) == cacheAfterFailure);
  }
  // An empty address is the address given, not the built-in one.
  EXPECT_TRUE(contains(run("").err, "Download failed! Error - invalid URL \"\""));
  ProcessResult good = run("/files/agent.zip?etag=%22g%22");
  EXPECT_EQ(good.exitStatus, 0) << good.err;
  EXPECT_EQ(startedVersion(agent), "v1");
}

// unzip is needed only to unpack: a cache hit runs without it, a new
// archive stops at its response.
TEST_F(E2E, UnzipIsNeededOnlyToUnpack) {
  publish("v1", "agent.zip", 300000);
  ASSERT_EQ(run("/files/agent.zip?etag=%22one%22").exitStatus, 0);
  ProcessOptions o = options("/files/agent.zip?etag=%22one%22");
  // Every tool the agent uses, but not unzip.
  ASSERT_EQ(runProcess({"sh", "-c", "mkdir \"$0\" && for f in /usr/bin/*; do [ \"${f##*/}\" = unzip ] || ln -s \"$f\" \"$0\"; done",
                        scratch / "bin"}).exitStatus, 0);
  const std::vector<std::string> noUnzip = {"env", "PATH=" + scratch / "bin"};
  server.reset();
  ProcessResult hit = run(o, {}, noUnzip);
  EXPECT_EQ(hit.exitStatus, 0) << hit.err;
  EXPECT_EQ(startedVersion(agent), "v1");
  EXPECT_EQ(server.stat("body_bytes_sent"), 0);
  o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = server.url("/files/agent.zip?etag=%22two%22&rate=100000");
  runProcess({"rm", starts});
  expectFailed(run(o, {}, noUnzip), kNoAgent, "unzip is not installed: the installer needs it to unpack the install agent");
  EXPECT_LT(server.stat("body_bytes_sent"), 150000);  // of 300000, at 100000 a second
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
}

// A run that finds the cache locked leaves it alone until it is free.
TEST_F(E2E, RunsTakeTurnsOnTheCache) {
  ASSERT_EQ(run("/files/agent.zip?etag=%22one%22").exitStatus, 0);
  publish("v2");
  int held = open(cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ProcessResult waiting;
  std::thread other([&] { waiting = run("/files/agent.zip?etag=%22two%22"); });
  sleep(1);  // long enough to have the whole archive
  EXPECT_EQ(readFile(cache + "/installagent/version"), "v1\n");
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
  close(held);
  other.join();
  EXPECT_EQ(waiting.exitStatus, 0) << waiting.err;
  EXPECT_EQ(startedVersion(agent), "v2");

  runProcess({"rm", "-rf", cache, starts});
  publish("v1", "agent.zip", 300000);
  ProcessResult a, b;
  const std::string paced = "/files/agent.zip?etag=%22one%22&rate=300000";
  std::thread first([&] { a = run(paced); }), second([&] { b = runProcess({executable}, options(paced)); });
  first.join(), second.join();
  EXPECT_TRUE(a.exitStatus == 0 && b.exitStatus == 0) << a.err << b.err;
  EXPECT_EQ(lines(readFile(starts)), (Lines{"v1", "v1"}));
  EXPECT_EQ(listDir(cache), (Lines{".validatestring", "installagent"}));
  EXPECT_EQ(listDir(tmp), Lines{});
}

// The cache is reused (the second of two runs gets a 304) wherever nobody else can change it: in /tmp without a
// home (a tmpfs of the runs' own, the scratch directory still showing in it), or in a home and download folder
// only the user's private group may write too (umask 002), where a shipped archive counts as well. Not below
// another user's /tmp/.velmor, nor when the group has another member or is another account's primary group;
// the run says why. The users are made here, and removed in TearDown.
class UsersOwn : public InstallerRun {
 protected:
  std::string account(std::vector<std::string> useradd) {
    char name[16];
    snprintf(name, sizeof name, "qvt%06x", std::random_device()() & 0xffffff);
    useradd.push_back(name);
    EXPECT_EQ(runProcess(useradd).exitStatus, 0);
    return made.push_back(name), name;
  }
  void TearDown() override {
    for (auto it = made.rbegin(); it != made.rend(); ++it) runProcess({"userdel", "-r", *it});
    InstallerRun::TearDown();
  }
  std::vector<std::string> made;
};
TEST_F(UsersOwn, TheCacheAndTheShippedArchiveCountWhereNobodyElseCanChangeThem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make users and mount a tmpfs (CI runs as root)";
  const bool hadOne = exists("/tmp/.velmor");
  const std::string below = scratch.path().substr(5), inTmp = "/tmp/.velmor/installagent/7.16.0/darw64";
  const std::string twice = " && \"$0\" && exec \"$0\"";
  makeDirs(scratch / "t");
  publish("served");
  std::string why;
  auto withoutHome = [&](std::optional<std::string> value, std::string before = "") {
    return [=, &why](ProcessOptions& o) {
      o.env["HOME"] = value, cache = inTmp, why = "/tmp is writable by others and /tmp/.velmor is not yours";
      return Lines{"unshare", "-m", "sh", "-c", "cd '" + scratch.path() + "' && mount -t tmpfs -o mode=1777 tmpfs t && "
                   "mkdir t/" + below + " && mount --bind . t/" + below + " && mount --move t /tmp" + before + twice};
    };
  };
  auto user = [&](std::function<void(const std::string&)> share) {
    return [=, &why](ProcessOptions& o) {
      std::string name = account({"useradd", "-U", "-m"});
      if (share) share(name);
      home = getpwnam(name.c_str()) ? getpwnam(name.c_str())->pw_dir : "/nonexistent", why = home + " is writable by others";
      makeDirs(home + "/Downloads"), makeDirs(home + "/tmp");
      EXPECT_EQ(runProcess({"cp", "-a", app, home + "/Downloads"}).exitStatus, 0);
      app = home + "/Downloads/Setup.app", macos = app + "/Contents/MacOS/", executable = macos + "bootstrap-installer";
      resources = app + "/Contents/Resources", tmp = home + "/tmp", cache = home + "/.velmor/installagent/7.16.0/darw64";
      record = home + "/args", starts = home + "/starts", ignoredSignals = home + "/sigign";
      o.env["HOME"] = home, o.env["TMPDIR"] = tmp, o.workingDirectory = home, tmp = "/tmp";  // unless the group is ours
      ship("shipped"), publish("served");
      runProcess({"chown", "-R", name + ":" + name, home}), runProcess({"chmod", "-R", "g+w", home});
      return Lines{"setpriv", "--reuid=" + name, "--regid=" + name, "--init-groups", "sh", "-c", "umask 002" + twice};
    };
  };
  struct Row { std::string name; std::function<Lines(ProcessOptions&)> setUp; bool shippedCounts, cacheUsed; } rows[] = {
      {"HOME unset", withoutHome(std::nullopt), true, true},
      {"HOME empty", withoutHome(""), true, true},
      {"HOME unset, another user's /tmp/.velmor",
       withoutHome(std::nullopt, " && mkdir /tmp/.velmor && chown 65534 /tmp/.velmor"), true, false},
      {"the user's private group", user(nullptr), true, true},
      {"a group with a second member", user([&](const std::string& group) {
         EXPECT_EQ(runProcess({"gpasswd", "-a", account({"useradd", "-m"}), group}).exitStatus, 0); }), false, false},
      {"another account's primary group too",
       user([&](const std::string& group) { account({"useradd", "-m", "-g", group}); }), false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    runProcess({"rm", "-f", starts}), ship("shipped");
    ProcessOptions o = options("/files/agent.zip?etag=%22u%22");
    Lines twoRuns = row.setUp(o);
    ProcessResult shipped = run(o, {}, twoRuns);
    EXPECT_EQ(shipped.exitStatus, 0) << shipped.err;
    EXPECT_EQ(lines(readFile(starts)), Lines(2, row.shippedCounts ? "shipped" : "served"));
    EXPECT_EQ(contains(shipped.err, "Ignoring the install agent archives in " + resources +
                                        ": other users can change that folder (" + why + ")\n"), !row.shippedCounts);
    runProcess({"rm", "-f", resources + "/InstallAgent.zip", starts});
    server.reset();
    ProcessResult downloaded = run(o, {}, twoRuns);
    EXPECT_EQ(downloaded.exitStatus, 0) << downloaded.err;
    EXPECT_EQ(lines(readFile(starts)), Lines(2, "served"));
    EXPECT_EQ(readArgsRecord(record).value_or(Lines{""})[0].rfind(row.cacheUsed ? cache : tmp + "/qv", 0), 0u);
    EXPECT_EQ(server.stat("requests"), 2);
    EXPECT_EQ(server.stat("body_bytes_sent"), long(readFile(served / "agent.zip").size()) * (row.cacheUsed ? 1 : 2));
    EXPECT_EQ(contains(downloaded.err, "The agent cache " + cache + " cannot be used (" + why +
                                           "): the install agent will be downloaded on every run\n"), !row.cacheUsed)
        << downloaded.err;
  }
  EXPECT_EQ(exists("/tmp/.velmor"), hadOne);  // the real /tmp was not touched
}

TEST_F(E2E, SignalsCancelAndKilledRunsLeaveNothingTrusted) {
  publish("v1", "agent.zip", 300000);  // paced, it takes a while
  for (const char* sig : {"INT", "TERM", "HUP", "KILL"}) {
    SCOPED_TRACE(sig);
    server.reset();
    ProcessResult r = runProcess({"timeout", "--preserve-status", "-s", sig, "1", executable},
                                 options("/files/agent.zip?etag=%22one%22&rate=20000"));
    if (std::string(sig) != "KILL") {
      EXPECT_EQ(r.exitStatus, 255) << r.err;
      EXPECT_EQ(lines(r.err).back(), "Installation failed.");
      EXPECT_EQ(listDir(tmp), Lines{});
      EXPECT_LT(server.stat("body_bytes_sent"), 100000);  // stopped with the run: 1 s of 20 kB/s, not 10
    }
    EXPECT_FALSE(exists(cache + "/.validatestring"));
    EXPECT_EQ(startCount(), 0u);
  }
  // What runs killed while unpacking, and between unpacking and the tag, left.
  makeDirs(cache + "/installagent.new-Ab12Cd/lib");
  makeDirs(cache + "/installagent");
  writeFile(agent, "#!/bin/sh\necho untagged >> '" + starts + "'\n", 0755);
  ASSERT_EQ(run("/files/agent.zip?etag=%22one%22").exitStatus, 0);
  EXPECT_EQ(startedVersion(agent), "v1");
  EXPECT_EQ(listDir(cache), (Lines{".validatestring", "installagent"}));
}

// A signal while unzip runs ends unzip's whole group. The stand-in signals
// the installer, lets go of the output, then waits on a FIFO nobody writes.
TEST_F(E2E, SignalDuringUnzipEndsItAndStartsNothing) {
  std::string bin = scratch / "bin", fifo = scratch / "never-written";
  makeDirs(bin);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeFile(bin + "/unzip", "#!/bin/sh\ncase \"$1\" in -Z*) exec /usr/bin/unzip \"$@\";; esac\n"
            "kill -TERM $PPID\nexec >/dev/null 2>&1\nread x < '" + fifo + "'\n", 0755);
  ship("v1");
  ProcessOptions o = options(shippedRoad);
  o.env["PATH"] = bin + ":" + getenv("PATH");
  o.timeoutSeconds = 20;
  expectFailed(run(o), kShippedUnzipFailed, "");
  EXPECT_LT(open(fifo.c_str(), O_WRONLY | O_NONBLOCK), 0) << "unzip outlived the run";
}

// A run that gets no new agent runs the one the gate still vouches for and
// says why; an archive it refused is not fetched again, a new signature
// clears that. Without a vouched agent the same runs fail, as a Cancel does.
TEST_F(Signed, WithoutANewAgentTheVouchedOneRunsAndARefusedOneIsNotFetchedAgain) {
  const std::string using2096 = "Using the installed agent (signed 2096-10-02): ";
  auto signedAt = [&](const std::string& timestamp, const std::string& file = installAgentFileName) {
    return std::vector<std::string>{"-t", "timestamp:" + timestamp + "\tfile:" + file};
  };
  const std::string runs = "(nothing older installed, it runs)";
  struct Row {
    std::string name; std::function<void()> serve; std::string tag, why, withoutAgent = "";
    bool fetchedAgain = false;  // nothing was refused: the next run tries the download again
  } rows[] = {
      {"the vendor's old archive and signature put back", [&] { publishSigned("old", "trusted1", "3900000000"); },
       "old", "the server offers an older agent (signed 2093-08-01) than the one installed (signed 2096-10-02)", runs},
      {"an archive that does not match its signature",
       [&] { publishSigned("bad", "trusted1", "4100000000"), writeFile(zip, damaged(readFile(zip))); }, "bad",
       "bad signature: the archive does not match its signature"},
      {"no signature", [&] { publishSigned("bad", "trusted1", "4100000000"), unlink(sig.c_str()); }, "bad",
       "cannot fetch the signature: HTTP status 404"},
      {"signed, with no install script", [&] { makeZip(zip, {{"setup", noise(100000)}}), sign(zip, "trusted1", signedAt("4100000000")); },
       "noinstall", "the new agent has no install script", "has no install script at its top level"},
      {"the signature held back past the deadline", [&] { publishSigned("late", "trusted1", "4100000000"); },
       "late&sigdelay=" + std::to_string(downloadDeadlineSeconds + 5),
       "the download took longer than " + window::durationInWords(downloadDeadlineSeconds), "", true},
      {"a 404", [&] { unlink(zip.c_str()); }, "gone", "HTTP status 404"},
      {"the server down", nullptr, "", "cannot connect to the server"},
  };
  const std::string down = "http://127.0.0.1:" + std::to_string(freePort()) + "/" + installAgentFileName;
  padding = 100000;  // a body to tell from a signature's
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (contains(row.tag, "sigdelay") && downloadDeadlineSeconds > 30) continue;  // a build with a short deadline only
    runProcess({"rm", "-rf", home + "/.velmor", starts});
    publishSigned("new", "trusted2", "4000000000");  // the second key, as after a rotation
    ASSERT_EQ(run(address("new")).exitStatus, 0);
    if (row.serve) row.serve();
    ProcessOptions o = options(row.tag.empty() ? down : server.url(address(row.tag)));
    for (int i = 0; i < 2; ++i) {  // the second run learns of the refusal from headers and the signature
      server.reset();
      ProcessResult r = run(o);
      EXPECT_EQ(r.exitStatus, 0) << r.err;
      EXPECT_TRUE(contains(r.err, using2096 + row.why)) << r.err;
      EXPECT_EQ(startedVersion(agent), "new");
      EXPECT_EQ(readFile(cache + "/.validatestring"), "new");  // the agent it would have replaced is as it was
      if (i == 1 && !row.fetchedAgain) { EXPECT_LT(server.stat("body_bytes_sent"), 10000); }
    }
    runProcess({"rm", "-rf", home + "/.velmor", starts});
    if (row.withoutAgent == runs) { EXPECT_EQ(run(o).exitStatus, 0); continue; }
    expectFailed(run(o), {}, row.withoutAgent.empty() ? row.why : row.withoutAgent);
  }
  // The old archive signed again (as the README says to undo a release) is taken, and the refusal goes.
  runProcess({"rm", "-rf", home + "/.velmor", starts});
  ASSERT_EQ(run(address("new")).exitStatus, 0);
  publishSigned("old", "trusted1", "3900000000");
  EXPECT_EQ(run(address("old")).exitStatus, 0);
  EXPECT_TRUE(exists(cache + "/.refused"));
  server.reset();  // the vendor's newer archive back: a plain cache hit, the refusal on record or not
  EXPECT_EQ(run(address("new")).exitStatus, 0);
  EXPECT_EQ(server.stat("requests"), 1);
  EXPECT_EQ(server.stat("body_bytes_sent"), 0);
  if (downloadDeadlineSeconds <= 30) {  // the signature checked against the refusal is held to the deadline too
    std::string late = run(address("old&sigdelay=" + std::to_string(downloadDeadlineSeconds + 5))).err;
    EXPECT_TRUE(contains(late, using2096 + "the download took longer than")) << late;
  }
  sign(zip, "trusted1", signedAt("4200000000"));
  EXPECT_EQ(run(address("old")).exitStatus, 0);
  EXPECT_EQ(startedVersion(agent), "old");
  EXPECT_FALSE(exists(cache + "/.refused"));
  // A fault of this machine's (a file-size limit while unpacking) is not held against the archive.
  makeZip(zip, {{"install", agentScript()}, {"version", "roomy\n"}, {"z", std::string(3000000, 0)}});
  sign(zip, "trusted1", signedAt("4300000000"));
  EXPECT_TRUE(contains(run(options(address("roomy")), {}, withFileLimit(200)).err, "could not be unpacked"));
  EXPECT_EQ(run(address("roomy")).exitStatus, 0);
  EXPECT_EQ(startedVersion(agent), "roomy");
  // The same with nginx's own ETags, and its 304 for a list of them.
  runProcess({"rm", "-rf", home + "/.velmor"});
  TestNginx nginx(served.path());
  ProcessOptions real = options(nginx.url("/" + installAgentFileName));
  publishSigned("new", "trusted2", "4000000000");
  ASSERT_EQ(run(real).exitStatus, 0);
  publishSigned("old", "trusted1", "3900000000");
  runProcess({"touch", "-d", "2093-08-01", zip});  // a tag of its own
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(contains(run(real).err, using2096 + "the server offers an older")) << i;
  Lines seen = nginx.requests();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_TRUE(contains(seen[4], " 304 0 \"" + readFile(cache + "/.validatestring") + ", \"")) << seen[4];
  EXPECT_TRUE(contains(seen[5], ".minisig 200 ")) << seen[5];
  // A Cancel (Ctrl-C here) while an archive to be refused arrives starts nothing.
  publishSigned("old", "trusted1", "3900000000");
  runProcess({"rm", starts});
  ProcessResult cancelled = runProcess({"timeout", "--preserve-status", "-s", "INT", "1", executable},
                                       options(address("\"old2\"") + "&rate=20000"));
  EXPECT_EQ(cancelled.exitStatus, 255) << cancelled.err;
  EXPECT_EQ(startCount(), 0u);
}

// A release published between the archive's request and its signature's.
TEST_F(Signed, AReleaseInProgressIsFetchedOnceMore) {
  publishSigned("old", "trusted1", "4000000000");
  ASSERT_EQ(runProcess({"mv", zip, served / "old.zip"}).exitStatus, 0);
  publishSigned("new", "trusted1", "4000000001");
  ProcessResult r = run(address("\"n\"") + "&first=old.zip&firsthits=1");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(lines(readFile(starts)), Lines{"new"});
  EXPECT_EQ(server.stat("requests"), 4);  // archive, signature, both again
}

// A run killed with its unzip at any moment of an install (after growing delays into the
// unpacking) leaves the old agent vouched for or nothing trusted: the next run starts the agent
// served, no half-made file stays, and the floor never goes down. Without keys, then with them.
TEST_F(Signed, AnInstallKilledAtAnyMomentLeavesTheCacheWholeOrUntrusted) {
  const std::string pid = scratch / "pid";
  auto floor = [&] { std::string f = readFile(cache + "/.floor.minisig"); size_t at = f.find("timestamp:");
                     return at == std::string::npos ? 0 : std::stol(f.substr(at + 10, 10)); };
  for (const std::string build : {INSTALLER_EXECUTABLE, SIGNED_INSTALLER_EXECUTABLE}) {
    ASSERT_EQ(runProcess({"cp", build, executable}).exitStatus, 0);
    Lines whole = build == INSTALLER_EXECUTABLE ? Lines{".validatestring", "installagent"}
                  : Lines{".digest", ".floor.minisig", ".minisig", ".validatestring", "installagent"};
    for (long i = 0, kept = 0; i < 20; ++i) {
      SCOPED_TRACE(build + ", killed after " + std::to_string(4 * i) + " ms of unpacking");
      publish("v" + std::to_string(i), installAgentFileName, 1 << 20);
      sign(zip, "trusted1", {"-t", "timestamp:" + std::to_string(4000000000 + i) + "\tfile:" + installAgentFileName});
      writeFile(pid, "");
      std::thread killed([&] { runProcess({"sh", "-c", "echo $$ > \"$0\"; exec \"$1\"", pid, executable}, options(address(std::to_string(i)))); });
      for (int wait = 0; wait < 10000 && !contains(::testing::PrintToString(listDir(cache)), ".new-"); ++wait) usleep(500);
      usleep(4000 * i);
      if (pid_t installer = atoi(readFile(pid).c_str()); installer > 0) {  // stopped first: it starts no more children
        kill(installer, SIGSTOP);
        std::istringstream children(readFile("/proc/" + std::to_string(installer) + "/task/" + std::to_string(installer) + "/children"));
        for (pid_t child; children >> child;) kill(-child, SIGKILL), kill(child, SIGKILL);
        kill(installer, SIGKILL);
      }
      killed.join();
      EXPECT_GE(floor(), kept);
      EXPECT_EQ(run(address(std::to_string(i))).exitStatus, 0);
      EXPECT_EQ(lines(readFile(starts)).back(), "v" + std::to_string(i));
      EXPECT_EQ(listDir(cache), whole);
      EXPECT_EQ(kept = floor(), whole.size() > 2 ? 4000000000 + i : 0);
    }
  }
  // What outlasts a power cut, in order: what vouched for the old agent removed for good before the swap,
  // the new agent started, then synced before anything vouches for it, each kept file synced before its
  // rename and its folder after.
  if (runProcess({"strace", "-o", "/dev/null", "true"}).exitStatus != 0) GTEST_SKIP() << "needs strace, allowed to trace";
  publishSigned("traced", "trusted1", "4100000000");
  ProcessOptions o = options(address("traced"));
  const char* asan = getenv("ASAN_OPTIONS");
  o.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":detect_leaks=0";  // the leak checker cannot run traced
  ProcessResult traced = runProcess({"strace", "-f", "-y", "-o", scratch / "trace", "-e", "trace=fsync,rename,renameat2,unlink,execve",
                                     executable}, o);
  std::string calls;  // on the cache's own entries, temporary names ending in "~"; GLib may sync the folder too
  for (const std::string& line : lines(readFile(scratch / "trace"))) {
    size_t at = line.find(cache), call = line.find_first_not_of(' ', line.find(' '));  // after the pid, padded
    std::string name = at == std::string::npos ? "/" : line.substr(line.find_first_not_of('/', at + cache.size()));
    name = std::regex_replace(name.substr(0, name.find_first_of(">\"")), std::regex("([^.])[.-][A-Za-z0-9]{6}$"), "$1~");
    if (contains(line, "execve(\"/bin/sh\"")) calls += "agent started, ";
    else if (name.find('/') == std::string::npos) calls += line.substr(call, line.find('(') - call) + " " + name + ", ";
  }
  EXPECT_EQ(traced.exitStatus, 0) << traced.err;
  EXPECT_EQ(std::regex_replace(calls, std::regex("(fsync , )+"), "fsync , "), "unlink .validatestring, unlink .source, unlink .digest, unlink .minisig, fsync , "
                   "renameat2 installagent.new~, agent started, fsync installagent, "
                   "fsync .minisig~, rename .minisig~, fsync , fsync .digest~, rename .digest~, "
                   "fsync , fsync .floor.minisig~, rename .floor.minisig~, fsync , fsync .validatestring~, "
                   "rename .validatestring~, fsync , unlink .refused, ");
}

// A cached agent runs only on the strength of the signature it was installed with, in a cache nobody else can
// change (links resolved first); else it is downloaded again, with no If-None-Match, and a floor planted there
// holds nothing back.
TEST_F(Signed, ACachedAgentRunsOnlyWithItsSignature) {
  const std::string unsignedBuild = macos + "unsigned-installer", oneKeyBuild = macos + "one-key-installer";
  ASSERT_EQ(runProcess({"cp", INSTALLER_EXECUTABLE, unsignedBuild}).exitStatus, 0);
  ASSERT_EQ(runProcess({"cp", ONE_KEY_INSTALLER_EXECUTABLE, oneKeyBuild}).exitStatus, 0);
  auto plantOlderBuildsAgent = [&] {  // replaces the agent directory, keeps the rest
    runProcess({"rm", "-rf", cache + "/installagent"});
    makeDirs(cache + "/installagent");
    writeFile(agent, agentScript() + "\n", 0755);
    writeFile(cache + "/installagent/version", "planted\n");
  };
  auto plantFutureFloor = [&] {
    std::string future = readFile(sig);
    future.replace(future.find("timestamp:") + 10, 10, "99999999999");
    for (const char* name : {".floor.minisig", ".minisig"}) writeFile(cache + "/" + name, future);
    chmod(home.c_str(), 0777);
  };
  auto linkedToAPrivateFolder = [&] {
    runProcess({"mv", home + "/.velmor", scratch / "elsewhere"});
    symlink((scratch / "elsewhere").c_str(), (home + "/.velmor").c_str());
  };
  // A home without birth times, mounted from one device for each run, where the agent's change time
  // moves (its access time set, as backup tools do) a second later.
  const std::string image = scratch / "small-inodes.img";
  runProcess({"mkfs.ext4", "-q", "-I", "128", image, "16M"});
  const std::string device = lines(runProcess({"losetup", "-f", "--show", image}).out + "\n")[0];
  std::shared_ptr<void> detach(nullptr, [&](void*) { runProcess({"losetup", "-d", device}); });
  const Lines noBirthTimes = {"unshare", "-m", "sh", "-c", "mount \"$0\" \"$HOME\" || exit 1\n"
      "touch -c -a \"$HOME\"/.velmor/*/*/*/installagent\n\"$@\"\ns=$?; umount \"$HOME\"; exit $s", device};
  struct Row { std::string name, cachedBy, key; std::function<void()> meddle; std::string runBy, started; int requests; Lines wrapper = {}; } rows[] = {
      {"signed by the first key", executable, "trusted1", nullptr, executable, "cached", 1},
      {"on a file system without birth times", executable, "trusted1", [] { sleep(1); }, executable, "cached", 1, noBirthTimes},
      {"signed by the second key", executable, "trusted2", nullptr, executable, "cached", 1},
      {"cached by a build without keys", unsignedBuild, "trusted1", nullptr, executable, "served", 2},
      {"replaced by an older build", executable, "trusted1", plantOlderBuildsAgent, executable, "served", 2},
      {"signed by a key this build dropped", executable, "trusted2", nullptr, oneKeyBuild, "served", 2},
      {"its folder writable by others", executable, "trusted1",
       [&] { chmod((cache + "/installagent").c_str(), 0777); }, executable, "served", 2},
      {"reached through a link to a private folder", executable, "trusted1", linkedToAPrivateFolder, executable, "cached",
       1},
      {"a floor far ahead, in a cache others can write", executable, "trusted1", plantFutureFloor, executable, "served",
       2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (lacksNamespace(!row.wrapper.empty(), row.name)) continue;
    runProcess({"rm", "-rf", home + "/.velmor", scratch / "elsewhere", starts});
    chmod(home.c_str(), 0755);
    publishSigned("cached", row.key, "4000000000");
    ProcessOptions o = options(address("\"t\""));
    auto wrapped = [&](const std::string& build) { Lines argv = row.wrapper; argv.push_back(build); return argv; };
    ASSERT_EQ(runProcess(wrapped(row.cachedBy), o).exitStatus, 0);
    if (row.meddle) row.meddle();
    publishSigned("served", "trusted1", "4000000001");
    server.reset();
    ProcessResult r = runProcess(wrapped(row.runBy), o);  // the server's tag is unchanged
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(lines(readFile(starts)).back(), row.started);
    // A reuse is one request answered 304; a new download is the archive and its signature.
    EXPECT_EQ(server.stat("requests"), row.requests);
  }
}

// A shipped archive others could have planted is ignored, with the reason;
// on a read-only file system nobody can change it, whoever owns it.
TEST_F(Signed, ShippedArchivesOnlyFromAFolderNobodyElseCanChange) {
  const std::string unsignedBuild = INSTALLER_EXECUTABLE, signedBuild = SIGNED_INSTALLER_EXECUTABLE;
  const std::string ignoring = "Ignoring the install agent archives in " + resources + ": ";
  auto refusing = [&](const std::string& name) { return "The install agent " + resources + "/" + name + " cannot be trusted: "; };
  using Plant = std::function<bool(const std::string&)>;
  Plant anotherUsers = [](const std::string& archive) { return chown(archive.c_str(), 65534, 65534) == 0; };
  auto signedBy = [&](const std::string& key, std::vector<std::string> extra = {}) {
    return [=](const std::string& archive) { return sign(archive, key, extra), true; };
  };
  publishSigned("served", "trusted1", "4000000000");
  struct Row { std::string name, build, archive; Plant plant; std::string started, says; bool readOnly = false; } rows[] = {
      {"unsigned build, sticky folder open to all", unsignedBuild, "InstallAgent_1.zip",
       [&](const std::string&) { return chmod(resources.c_str(), 01777) == 0; }, "served",
       ignoring + "other users can change that folder"},
      {"signed build, an old signed agent in a folder open to all", signedBuild, "InstallAgent_1.zip",
       [&](const std::string& archive) {
         sign(archive, "trusted1", {"-t", "timestamp:4100000000\tfile:InstallAgent_1.zip"});
         return chmod(resources.c_str(), 0777) == 0;
       },
       "served", ignoring + "other users can change that folder"},
      {"another user's archive in our folder", unsignedBuild, "InstallAgent_1.zip", anotherUsers, "served",
       ignoring + "InstallAgent_1.zip belongs to another user"},
      {"an archive its group may write", unsignedBuild, "InstallAgent_1.zip",
       [](const std::string& archive) { return chown(archive.c_str(), -1, 65534) == 0 && chmod(archive.c_str(), 0664) == 0; },
       "served",
       ignoring + "other users can change InstallAgent_1.zip"},
      {"our folder, our archive", unsignedBuild, "InstallAgent_1.zip", nullptr, "shipped", ""},
      {"read-only mount, another user's archive", unsignedBuild, "InstallAgent_1.zip", anotherUsers, "shipped", "", true},
      {"signed build: the first key", signedBuild, "InstallAgent.zip", signedBy("trusted1"), "shipped", ""},
      {"signed build: the second key, versioned name", signedBuild, "InstallAgent_2.zip", signedBy("trusted2"), "shipped", ""},
      {"signed build: no signature", signedBuild, "InstallAgent.zip", nullptr, "", refusing("InstallAgent.zip")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    runProcess({"rm", "-rf", home + "/.velmor", starts});
    chmod(resources.c_str(), 0755);
    ship("shipped", row.archive);
    ASSERT_EQ(runProcess({"cp", row.build, executable}).exitStatus, 0);
    bool planted = !row.plant || row.plant(resources + "/" + row.archive);
    if (lacksNamespace(!planted || row.readOnly, row.name)) continue;  // root and a mount namespace
    ProcessResult r = run(options(address("\"t\"")), {}, row.readOnly ? readOnly(resources) : Lines{});
    EXPECT_EQ(r.exitStatus, row.started.empty() ? 255 : 0) << r.err;
    EXPECT_EQ(lines(readFile(starts)), row.started.empty() ? Lines{} : Lines{row.started});
    EXPECT_EQ(contains(r.err, "Ignoring") || contains(r.err, "cannot be trusted"), !row.says.empty()) << r.err;
    EXPECT_TRUE(contains(r.err, row.says)) << r.err;
    if (row.started.empty()) { EXPECT_EQ(ourLines(r.err), kNoAgent) << r.err; }
    runProcess({"rm", "-f", resources + "/" + row.archive, resources + "/" + row.archive + ".minisig"});
  }
}

// Basic credentials here (Digest and NTLM go the same way); the desktop's
// settings are a key file that GLib reads.
TEST_F(E2E, ProxiesFromTheEnvironmentOrTheDesktop) {
  int port = freePort();
  writeFile(scratch / "proxy.conf", "Port " + std::to_string(port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                                    "BasicAuth user secret\nLogFile \"" + scratch / "proxy.log" + "\"\nLogLevel Info\n");
  pid_t proxy = fork();
  if (proxy == 0) execlp("tinyproxy", "tinyproxy", "-d", "-c", (scratch / "proxy.conf").c_str(), nullptr), _exit(127);
  for (int i = 0; i < 500 && !contains(readFile(scratch / "proxy.log"), "Accepting connections"); ++i) usleep(10000);
  std::string at = "127.0.0.1:" + std::to_string(port), settings = scratch / "config/glib-2.0/settings";
  makeDirs(settings);
  writeFile(settings + "/keyfile", "[system/proxy]\nmode='manual'\nignore-hosts=@as []\n[system/proxy/http]\nhost="
                                   "'127.0.0.1'\nport=" + std::to_string(port) + "\nuse-authentication=true\n"
                                   "authentication-user='user'\nauthentication-password='secret'\n");
  using Env = std::map<std::string, std::optional<std::string>>;
  // An address of its own is asked of nobody but that address.
  struct Row { const char* name; Env env; int exitStatus; std::string inErr, address = ""; } rows[] = {
      {"credentials in the address", {{"http_proxy", "http://user:secret@" + at}}, 0, ""},
      {"no credentials", {{"http_proxy", "http://" + at}}, 255, "Error - the proxy requires authentication"},
      {"only in the desktop's settings",
       {{"GSETTINGS_BACKEND", "keyfile"}, {"XDG_CONFIG_HOME", scratch / "config"}, {"XDG_CURRENT_DESKTOP", "GNOME"}},
       0, ""},
      {"only http_proxy, an https address", {{"http_proxy", "http://" + at}}, 255,
       "Error - cannot connect to the server (https addresses use https_proxy, and only http_proxy is set; ",
       "https://127.0.0.1:" + std::to_string(freePort()) + "/agent.zip"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProcessOptions o = options(row.address.empty() ? "/files/agent.zip?etag=%22p%22" : row.address);
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "ALL_PROXY", "NO_PROXY"}) o.env[name] = {};
    for (const auto& [name, value] : row.env) o.env[name] = value;
    std::string before = readFile(scratch / "proxy.log");
    ProcessResult r = run(o);
    EXPECT_EQ(r.exitStatus, row.exitStatus) << r.err;
    EXPECT_TRUE(contains(r.err, row.inErr)) << r.err;
    if (row.address.empty()) {
      EXPECT_TRUE(contains(readFile(scratch / "proxy.log").substr(before.size()), "GET " + server.url("/files/agent.zip")));
    }
  }
  kill(proxy, SIGKILL);
  waitpid(proxy, nullptr, 0);
}

// The test certificate is bound over the system's store.
TEST_F(E2E, HttpsIsNeverRedirectedToPlainHttp) {
  ProcessResult cert = runProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
      "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
      scratch / "key.pem", "-out", scratch / "cert.pem"});
  ASSERT_EQ(cert.exitStatus, 0) << cert.err;
  writeFile(scratch / "server.pem", readFile(scratch / "cert.pem") + readFile(scratch / "key.pem"));
  TestHttpServer tls(served.path(), scratch / "server.pem");
  struct Row { std::string address; bool runs; } rows[] = {
      {tls.url("/redirect?to=" + tls.url("/files/agent.zip?etag=b")), true},
      {tls.url("/redirect?to=" + server.url("/files/agent.zip?etag=c")), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    if (lacksNamespace(true, row.address)) continue;
    runProcess({"rm", "-rf", cache});
    ProcessResult r = run(options(row.address), {},
                          afterMounting("mount --bind \"$1\" /etc/ssl/certs/ca-certificates.crt", scratch / "cert.pem"));
    EXPECT_EQ(r.exitStatus, row.runs ? 0 : 255) << r.err;
  }
}

// The bundle made into one file: its modules come from its own private
// directory, the shipped road maps no libcurl or GIO, and a damaged file is
// refused before anything is unpacked. The agent notes what the installer
// maps and lists the product archive it was handed.
TEST_F(Signed, SingleFileRunsFromItsPayloadAndRefusesADamagedOne) {
  const std::string single = scratch / "vol/Setup.run", maps = scratch / "maps", listing = scratch / "listing";
  agentPrologue = "p=$$\nwhile [ \"$p\" -gt 1 ] && [ \"$(readlink /proc/$p/exe)\" != '" + single +
                  "' ]; do p=$(awk '/^PPid:/ {print $2}' /proc/$p/status); done\ncat /proc/$p/maps > '" + maps +
                  "'\nunzip -Z1 \"$2\" > '" + listing + "'\n";
  makeZip(resources + "/bundle.zip", {{"product.txt", "the product"}});
  auto make = [&](bool withAgent) {
    if (withAgent) ship("shipped"), sign(resources + "/InstallAgent.zip", "trusted1");
    else runProcess({"rm", "-f", resources + "/InstallAgent.zip", resources + "/InstallAgent.zip.minisig"});
    ProcessResult made = runProcess({MAKE_SINGLE_FILE, app, single});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
  };
  auto spoil = [&](std::function<void(std::string&)> how) {
    return [&, how] { make(true); std::string b = readFile(single); how(b); writeFile(single, b, 0755); };
  };
  const std::string fullSize = [&] { make(true); return platform::formatByteCount(readFile(single).size()); }();
  auto damaged = [&](const std::string& size) {
    return "The installer file is damaged or incomplete (" + size + " of " + fullSize + "): download it again.\n"
           "Internal error: Failed to initialize application installer (1)\nInstallation failed.\n";
  };
  struct Row {
    std::string name;
    std::function<void()> setUp;
    std::string started, err;  // the agent that started ("" none), standard error when it matters
    std::vector<std::string> wrapper = {};
    bool unitTestVariable = false;
    std::string workUnder = "";  // the work directory's parent when not TMPDIR
  } rows[] = {
      {"shipped signed agent", [&] { make(true); }, "shipped", ""},
      {"shipped, the test variable set", [&] { make(true); }, "shipped", "", {}, true},
      {"no shipped agent: the download road", [&] { make(false); }, "served", ""},
      {"the download road, TMPDIR mounted noexec: passed over", [&] { make(false); }, "served", "",
       afterMounting("mount --bind \"$1\" \"$1\" && mount -o remount,bind,noexec \"$1\"", tmp), false, "/tmp"},
      {"truncated", spoil([](std::string& b) { b.resize(b.size() / 2); }), "",
       damaged(platform::formatByteCount(readFile(single).size() / 2))},
      {"a flipped byte of the shipped agent",
       spoil([&](std::string& b) { b[b.find(readFile(resources + "/InstallAgent.zip")) + 40] ^= 1; }), "", damaged(fullSize)},
      {"a forged trailer", spoil([](std::string& b) { b[b.size() - 112] ^= 1; }), "", damaged(fullSize)},
      {"no private directory anywhere", [&] { make(true); }, "",
       "Cannot create a private working directory.\nInstallation failed.\n", readOnly("/tmp")},
  };
  publishSigned("served", "trusted1", "4000000000");
  executable = single;
  withDisplay = getenv("DISPLAY") != nullptr;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (lacksNamespace(!row.wrapper.empty(), row.name)) continue;
    runProcess({"rm", "-rf", home + "/.velmor", starts, maps, listing});
    row.setUp();
    ProcessOptions o = options(address("\"s\""));
    if (row.unitTestVariable) o.env["__QV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
    ProcessResult r = run(o, {"two words", ""}, row.wrapper);
    EXPECT_EQ(r.exitStatus, row.started.empty() ? 255 : 0) << r.err;
    if (!row.err.empty()) { EXPECT_EQ(r.err, row.err); }
    EXPECT_EQ(lines(readFile(starts)), row.started.empty() ? Lines{} : Lines{row.started});
    EXPECT_EQ(listDir(tmp), Lines{});  // the work directory is gone, or was never made
    if (row.started.empty()) continue;
    Lines got = readArgsRecord(record).value_or(Lines{"", "", ""});
    std::string workDir = got[2].substr(0, got[2].rfind('/'));
    EXPECT_EQ(workDir.rfind((row.workUnder.empty() ? tmp : row.workUnder) + "/qv", 0), 0u) << workDir;
    EXPECT_EQ(got, (Lines{row.started == "shipped" ? workDir + "/install" : agent, "-installbundle",
                          workDir + "/bundle.zip", "two words", ""}));
    EXPECT_EQ(readFile(listing), "product.txt\n");  // the file itself reads as the product archive
    bool downloaded = row.started == "served";
    EXPECT_EQ(contains(r.err, "Initializing the installer"), downloaded && !withDisplay);  // else in the window
    std::string mapped = readFile(maps);
    EXPECT_TRUE(contains(mapped, "libglib-2.0")) << mapped;
    for (const std::string& library : Lines{"libcurl", "libgio-2.0", workDir + "/libinstaller-transfer.so",
                                       workDir + "/libinstaller-window.so"})
      EXPECT_EQ(contains(mapped, library), downloaded) << library;
  }
}
