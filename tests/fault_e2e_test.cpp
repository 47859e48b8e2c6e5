// The built installer against faults it meets in the field: a server that
// misbehaves, archives that are broken, a full disk, tools or directories
// that are missing, and home directories with odd names. Every failure must
// say so, end with 255, leave nothing half-done behind, and the next good run
// must still start the agent. Stalls are left to http_download_test: the
// stall time-out is a minute, too long for a run of the whole program.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "installer_run.h"
#include "provisioning/build_constants.h"

using namespace testing_util;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The archive with one byte of its stored data flipped: unzip finds a bad CRC.
std::string damaged(std::string zip) {
  zip[zip.size() / 2] = static_cast<char>(zip[zip.size() / 2] ^ 0xff);
  return zip;
}

// %XX for every byte, so that any tag survives the query string.
std::string percentEncoded(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) out += std::string("%") + hex[c >> 4] + hex[c & 15];
  return out;
}

class FaultE2E : public InstallerRun {
 protected:
  // Runs with writes limited to `bytes` per file, as on a full disk, and a
  // standard input that never ends: anything that asks there would hang.
  ProcessResult runOnFullDisk(size_t bytes, const ProcessOptions& o) {
    std::string fifo = scratch / "never-answers";
    if (!exists(fifo) && mkfifo(fifo.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo";
    int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // keeps the reader from seeing EOF
    unlink(record.c_str());
    ProcessResult r = runProcess({"sh", "-c", "ulimit -f " + std::to_string(bytes / 512) + " && exec \"$0\" <\"$1\"",
                                  bundle.executable(), fifo},
                                 o);
    close(writer);
    return r;
  }

  static std::string downloadFailedLine(const std::string& err) {
    for (const auto& l : lines(err))
      if (l.rfind("Download failed! Error - ", 0) == 0) return l;
    return "";
  }

  // No partial archive, staging directory, tag or agent: only the empty
  // directories the run prepares.
  void expectNothingLeft(const std::string& cacheDir) {
    EXPECT_EQ(listDir(tmp), Lines{});
    EXPECT_EQ(listDir(cacheDir), Lines{"installagent"});
    EXPECT_EQ(listDir(cacheDir + "/installagent"), Lines{});
  }
};

}  // namespace

// Faults before a usable response: the cached agent is kept, tag and all,
// and the next run starts it without downloading.
TEST_F(FaultE2E, ServerFaultsFailCleanlyAndKeepTheCachedAgent) {
  const std::string good = "/files/agent.zip?etag=%22one%22";
  ASSERT_EQ(run(good).exitStatus, 0);
  ASSERT_EQ(startedVersion(agent), "v1");

  struct Case { std::string query, reason; };
  const std::vector<Case> cases = {
      {"/files/missing.zip", "Error - HTTP status 404 http"},
      {"/status?code=500", "Error - HTTP status 500 http"},
      {"/status?code=503", "Error - HTTP status 503 http"},
      {"/garbage", "HTTP/0.9"},
      {"/loop", "redirects"},
      {"/bigheader?bytes=300000&etag=%22one%22", ""},  // beyond what any response header may hold
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    ProcessResult r = run(c.query);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(ourLines(r.err), kDownloadFailed) << r.err;
    std::string line = downloadFailedLine(r.err);
    if (!c.reason.empty()) {
      EXPECT_TRUE(contains(line, c.reason)) << line;
    }
    ASSERT_GT(line.size(), server.url(c.query).size()) << r.err;
    EXPECT_EQ(line.substr(line.size() - server.url(c.query).size() - 1), " " + server.url(c.query));
    EXPECT_EQ(startCount(), 1u);
    EXPECT_EQ(listDir(tmp), Lines{});
    EXPECT_EQ(listDir(cache), (Lines{".validatestring", "installagent"}));
    EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
  }

  publish("v2");  // same tag: the cached v1 must start
  ProcessResult next = run(good);
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  EXPECT_EQ(startedVersion(agent), "v1");
}

// Odd but valid responses work end to end: the tag is recorded byte for
// byte and found again on the next run.
TEST_F(FaultE2E, UnusualResponseHeadersStillWorkEndToEnd) {
  struct Case { std::string name, tag, query; };
  const std::string oddTag = "W/\"t\tab 'q' \xe9\xff\x80\"";
  const std::vector<Case> cases = {
      {"tag with tabs, quotes and 8-bit bytes", oddTag, "/files/agent.zip?etag=" + percentEncoded(oddTag)},
      {"tag among a 50 kB header", "\"big\"",
       "/files/agent.zip?etag=%22big%22&lastmodified=" + std::string(50000, 'm')},
      {"tag header in lower case", "\"lower\"", "/files/agent.zip?etag=%22lower%22&etagheader=etag"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir ownHome;
    ProcessOptions o = options(c.query);
    o.env["HOME"] = ownHome.path();
    std::string ownCache = ownHome / ".velmor/installagent/7.16.0/darw64";
    publish("v1");
    ProcessResult first = run(o);
    EXPECT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_EQ(startedVersion(ownCache + "/installagent/install"), "v1");
    EXPECT_EQ(readFile(ownCache + "/.validatestring"), c.tag);

    publish("v2");  // same tag: the cache must be reused
    ProcessResult second = run(o);
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_EQ(startedVersion(ownCache + "/installagent/install"), "v1");
    EXPECT_EQ(listDir(tmp), Lines{});
  }
}

// Archives that cannot make an agent, and a missing unzip: nothing of them
// stays in the cache, and a good archive afterwards is installed as usual.
TEST_F(FaultE2E, BadArchivesOnTheDownloadRoadLeaveNothingBehind) {
  publish("v1", "good.zip");
  std::string good = readFile(served / "good.zip");
  makeZip(served / "big.zip", {{"install", agentScript()}, {"pad", noise(200000)}});
  std::string big = readFile(served / "big.zip");
  writeFile(served / "truncated.zip", big.substr(0, big.size() / 2));
  writeFile(served / "empty.zip", "");
  writeFile(served / "text.zip", "this is a text file, not an archive\n");
  writeFile(served / "damaged.zip", damaged(big));
  makeZip(served / "noinstall.zip", {{"agent/install", agentScript()}});
  makeZip(served / "installdir.zip", {{"install/", ""}, {"install/x", agentScript()}});
  {  // install as a link to a script elsewhere in the archive
    ScratchDir staging;
    makeDirs(staging / "agent");
    writeFile(staging / "agent/run", agentScript(), 0755);
    symlink("agent/run", (staging / "install").c_str());
    ProcessOptions in;
    in.workingDirectory = staging.path();
    ASSERT_EQ(runProcess({"zip", "-q", "-r", "-y", served / "installlink.zip", "install", "agent"}, in).exitStatus, 0);
  }

  struct Case { std::string name, query; Lines expected; std::string path; };
  const std::vector<Case> cases = {
      {"truncated", "/files/truncated.zip?etag=%22t%22", kDownloadUnzipFailed, ""},
      // Not even a zip's first bytes: refused as it arrives, never unpacked.
      {"empty", "/files/empty.zip?etag=%22e%22", kDownloadFailed, ""},
      {"not a zip", "/files/text.zip?etag=%22x%22", kDownloadFailed, ""},
      {"damaged data", "/files/damaged.zip?etag=%22d%22", kDownloadUnzipFailed, ""},
      {"no unzip on PATH", "/files/good.zip?etag=%22g%22", kDownloadUnzipFailed, scratch / "empty-bin"},
      {"no install at the top", "/files/noinstall.zip?etag=%22n%22",
       {"Failed to unzip the installer.", "Installation failed."}, ""},
      {"install is a directory", "/files/installdir.zip?etag=%22i%22",
       {"Failed to unzip the installer.", "Installation failed."}, ""},
      {"install is a link", "/files/installlink.zip?etag=%22l%22",
       {"Failed to unzip the installer.", "Installation failed."}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessOptions o = options(c.query);
    if (!c.path.empty()) o.env["PATH"] = c.path;
    ProcessResult r = run(o);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(ourLines(r.err), c.expected) << r.err;
    EXPECT_EQ(startCount(), 0u);
    expectNothingLeft(cache);
  }
  ProcessResult next = run("/files/good.zip?etag=%22g%22");
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  EXPECT_EQ(startedVersion(agent), "v1");
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"g\"");
}

// A damaged shipped archive (the other broken shapes are in
// bootstrap_e2e_test), then the bundle with a good one.
TEST_F(FaultE2E, DamagedShippedArchiveFailsThenAGoodOneRuns) {
  makeZip(scratch / "big.zip", {{"install", agentScript()}, {"version", "v1\n"}, {"pad", noise(200000)}});
  writeFile(bundle.resources() + "/InstallAgent.zip", damaged(readFile(scratch / "big.zip")));
  ProcessResult r = run("/unused");
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(ourLines(r.err), kShippedUnzipFailed) << r.err;
  EXPECT_TRUE(contains(r.err, "bad CRC")) << r.err;
  EXPECT_EQ(startCount(), 0u);
  EXPECT_EQ(listDir(tmp), Lines{});

  writeFile(bundle.resources() + "/InstallAgent.zip", readFile(scratch / "big.zip"));
  ProcessResult next = run("/unused");
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  auto args = readArgsRecord(record);
  ASSERT_TRUE(args);
  EXPECT_EQ((*args)[0].rfind(tmp + "/qv", 0), 0u) << (*args)[0];
  EXPECT_EQ(lines(readFile(starts)), Lines{"v1"});
  EXPECT_EQ(listDir(tmp), Lines{});
}

// A full disk, as a file size limit: writes fail with EFBIG (the installer
// ignores SIGXFSZ, and unzip inherits that).
TEST_F(FaultE2E, FullDiskOnTheDownloadRoadLeavesNothingBehind) {
  makeZip(served / "big.zip", {{"install", agentScript()}, {"version", "v1\n"}, {"pad", noise(400000)}});
  makeZip(served / "sparse.zip", {{"install", agentScript()}, {"version", "v1\n"}, {"zeros", std::string(3000000, '\0')}});
  ASSERT_LT(readFile(served / "sparse.zip").size(), 20000u);

  // While downloading: the archive outgrows the limit.
  ProcessResult downloading = runOnFullDisk(100 * 1024, options("/files/big.zip?etag=%22b%22"));
  EXPECT_EQ(downloading.exitStatus, 255);
  EXPECT_EQ(ourLines(downloading.err), kDownloadFailed) << downloading.err;
  EXPECT_TRUE(contains(downloadFailedLine(downloading.err), "File too large")) << downloading.err;
  EXPECT_EQ(startCount(), 0u);
  expectNothingLeft(cache);

  // While unpacking: the archive fits, what it holds does not.
  ProcessResult unpacking = runOnFullDisk(200 * 1024, options("/files/sparse.zip?etag=%22s%22"));
  EXPECT_EQ(unpacking.exitStatus, 255);
  EXPECT_EQ(ourLines(unpacking.err), kDownloadUnzipFailed) << unpacking.err;
  EXPECT_TRUE(contains(unpacking.err, "write error")) << unpacking.err;  // unzip itself met the full disk
  EXPECT_EQ(startCount(), 0u);
  expectNothingLeft(cache);

  ProcessResult next = run("/files/sparse.zip?etag=%22s%22");
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  EXPECT_EQ(startedVersion(agent), "v1");
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"s\"");
  EXPECT_EQ(readFile(cache + "/installagent/zeros").size(), 3000000u);
}

TEST_F(FaultE2E, FullDiskWhileUnpackingTheShippedAgentFailsWithoutHanging) {
  makeZip(bundle.resources() + "/InstallAgent.zip",
          {{"install", agentScript()}, {"version", "v1\n"}, {"zeros", std::string(3000000, '\0')}});
  ProcessResult r = runOnFullDisk(200 * 1024, options("/unused"));
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(ourLines(r.err), kShippedUnzipFailed) << r.err;
  EXPECT_TRUE(contains(r.err, "write error")) << r.err;
  EXPECT_EQ(startCount(), 0u);
  EXPECT_EQ(listDir(tmp), Lines{});

  ProcessResult next = run("/unused");
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  EXPECT_EQ(lines(readFile(starts)), Lines{"v1"});
  EXPECT_EQ(listDir(tmp), Lines{});
}

// A failed refresh (the server has a newer agent, which then does not
// arrive or cannot be installed): the stale agent went at the response, the
// old tag alone never validates, and the next good run installs the new one.
TEST_F(FaultE2E, FailedRefreshIsRepairedByTheNextRun) {
  makeZip(served / "big.zip", {{"install", agentScript()}, {"version", "v2\n"}, {"pad", noise(200000)}});
  writeFile(served / "damaged.zip", damaged(readFile(served / "big.zip")));
  struct Case { std::string name, query; Lines expected; };
  const std::vector<Case> cases = {
      {"archive that cannot be unpacked", "/files/damaged.zip?etag=%22two%22", kDownloadUnzipFailed},
      {"connection dropped half-way", "/drop?size=300000&after=100000&etag=%22two%22", kDownloadFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(run("/files/agent.zip?etag=%22one%22").exitStatus, 0);
    ASSERT_EQ(startedVersion(agent), "v1");
    size_t before = startCount();
    ProcessResult r = run(c.query);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(ourLines(r.err), c.expected) << r.err;
    EXPECT_EQ(startCount(), before);
    EXPECT_EQ(listDir(tmp), Lines{});
    EXPECT_EQ(listDir(cache), Lines{".validatestring"});  // no agent, no staging left
    EXPECT_EQ(readFile(cache + "/.validatestring"), "\"one\"");
  }
  ProcessResult next = run("/files/big.zip?etag=%22two%22");
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  EXPECT_EQ(startedVersion(agent), "v2");
  EXPECT_EQ(readFile(cache + "/.validatestring"), "\"two\"");
  EXPECT_EQ(listDir(cache), (Lines{".validatestring", "installagent"}));
}

// The download road with a home directory whose name the shell would split,
// expand or execute: the cache lands in that very directory and is reused.
TEST_F(FaultE2E, OddHomeDirectoriesHoldTheCache) {
  const std::vector<std::string> names = {
      "two  words\tand a tab",
      "quotes \" and ' and \\ backslash",
      "dollar $HOME ${HOME} $(touch PWNED) `touch PWNED`",
      "new\nline",
      "non-ASCII \xc3\xa9\xe2\x82\xac \xff\xfe \x81\x82\x83\x84\x86\x87\x88",
      "-leading dash; a&b|c<d>e*?[x]~#!",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string oddHome = scratch / name;
    makeDirs(oddHome);
    std::string oddCache = oddHome + "/.velmor/installagent/7.16.0/darw64";
    ProcessOptions o = options("/files/agent.zip?etag=%22one%22");
    o.env["HOME"] = oddHome;
    publish("v1");
    ProcessResult first = run(o);
    EXPECT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_EQ(startedVersion(oddCache + "/installagent/install"), "v1");
    EXPECT_EQ(readFile(oddCache + "/.validatestring"), "\"one\"");

    publish("v2");
    ProcessResult second = run(o);
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_EQ(startedVersion(oddCache + "/installagent/install"), "v1");
    EXPECT_EQ(listDir(tmp), Lines{});
  }
  EXPECT_FALSE(exists(scratch / "PWNED"));
  EXPECT_FALSE(exists(home + "/.velmor"));  // nothing went to the plain home
}

// A TMPDIR that cannot be used is passed over for /tmp: nothing stays
// beside the bundle.
TEST_F(FaultE2E, UnusableTmpdirStillDownloadsAndStartsTheAgent) {
  writeFile(scratch / "a-file", "not a directory");
  struct Case { std::string name, tmpdir; };
  std::vector<Case> cases = {
      {"missing", scratch / "no-such-dir"},
      {"a regular file", scratch / "a-file"},
  };
  if (geteuid() != 0) {  // root writes anywhere
    makeDirs(scratch / "read-only");
    chmod((scratch / "read-only").c_str(), 0555);
    cases.push_back({"read-only", scratch / "read-only"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir ownHome;
    std::string ownCache = ownHome / ".velmor/installagent/7.16.0/darw64";
    ProcessOptions o = options("/files/agent.zip?etag=%22one%22");
    o.env["HOME"] = ownHome.path();
    o.env["TMPDIR"] = c.tmpdir;
    ProcessResult r = run(o);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(startedVersion(ownCache + "/installagent/install"), "v1");
    EXPECT_EQ(readFile(ownCache + "/.validatestring"), "\"one\"");
    EXPECT_EQ(listDir(ownCache), (Lines{".validatestring", "installagent"}));
    EXPECT_EQ(listDir(scratch / "vol"), Lines{"Setup.app"});  // the archive did not stay behind
  }
}

// A validation file that cannot be read as one: the run downloads and
// succeeds; an empty directory in its place is replaced by the tag.
TEST_F(FaultE2E, ValidationFileThatIsADirectory) {
  struct Case { std::string name; bool withContent; };
  for (const Case& c : {Case{"empty directory", false}, Case{"directory with a file", true}}) {
    SCOPED_TRACE(c.name);
    ScratchDir ownHome;
    std::string ownCache = ownHome / ".velmor/installagent/7.16.0/darw64";
    makeDirs(ownCache + "/installagent");
    writeFile(ownCache + "/installagent/install", "#!/bin/sh\necho planted >> '" + starts + "'\n", 0755);
    makeDirs(ownCache + "/.validatestring");
    if (c.withContent) writeFile(ownCache + "/.validatestring/x", "\"one\"");
    ProcessOptions o = options("/files/agent.zip?etag=%22one%22");
    o.env["HOME"] = ownHome.path();

    publish("v1");
    ProcessResult first = run(o);
    EXPECT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_EQ(startedVersion(ownCache + "/installagent/install"), "v1");  // downloaded, not the planted one

    publish("v2");  // same tag: reused only where the tag could be recorded
    ProcessResult second = run(o);
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_EQ(startedVersion(ownCache + "/installagent/install"), c.withContent ? "v2" : "v1");
    if (c.withContent) {
      EXPECT_EQ(readFile(ownCache + "/.validatestring/x"), "\"one\"");  // not the installer's to remove
    } else {
      EXPECT_EQ(readFile(ownCache + "/.validatestring"), "\"one\"");
    }
    EXPECT_EQ(listDir(tmp), Lines{});
  }
  EXPECT_FALSE(contains(readFile(starts), "planted"));
}

TEST_F(FaultE2E, UnreadableValidationFileIsDownloadedAgain) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file, so it cannot be made unreadable";
  ASSERT_EQ(run("/files/agent.zip?etag=%22one%22").exitStatus, 0);
  ASSERT_EQ(startedVersion(agent), "v1");
  chmod((cache + "/.validatestring").c_str(), 0);
  publish("v2");
  ProcessResult r = run("/files/agent.zip?etag=%22one%22");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(startedVersion(agent), "v2");
}

// Control bytes in the address are escaped: no faked line, no terminal escape.
TEST_F(FaultE2E, ControlBytesInTheAddressAreEscaped) {
  ProcessOptions o = options("/");
  o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = server.url("/files/agent.zip") + "\nInstallation failed.\x1b[2J";
  ProcessResult r = run(o);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(ourLines(r.err), kDownloadFailed) << r.err;
  EXPECT_TRUE(contains(downloadFailedLine(r.err), "agent.zip\\x0aInstallation failed.\\x1b[2J")) << r.err;
  EXPECT_FALSE(contains(r.err, "\x1b"));
}

// A flaky link or a busy server: transient failures are retried (after
// Retry-After when the server names it), a dropped body is resumed where it
// broke off, and what cannot pass fails at once. The server counts what it
// sent; the archive must arrive byte for byte (unzip checks every CRC).
TEST_F(FaultE2E, FlakyServersAreRetriedAndResumedPermanentFaultsAreNot) {
  makeZip(served / "big.zip", {{"install", agentScript()}, {"version", "v1\n"}, {"pad", noise(300000)}});
  makeZip(served / "huge.zip", {{"install", agentScript()}, {"version", "v1\n"}, {"pad", noise(7000000)}});
  const long size = static_cast<long>(readFile(served / "big.zip").size());
  const long hugeSize = static_cast<long>(readFile(served / "huge.zip").size());
  auto stats = [&] { return runProcess({"curl", "-s", server.url("/stats")}).out; };
  auto number = [](const std::string& json, const std::string& key) {
    return std::stol(json.substr(json.find("\"" + key + "\": ") + key.size() + 4));
  };
  struct Case {
    const char* name;
    std::string address;
    int exitStatus;
    std::string inErr;
    long requests, bodyBytes;  // -1: not checked
    std::string ranges;
  } cases[] = {
      {"dropped twice, resumed", server.url("/files/big.zip?etag=%22r%22&failures=2&dropafter=100000"), 0,
       "retrying in", 3, size, R"(["bytes=100000-", "bytes=200000-"])"},
      // Each attempt gets further: more drops than retries, and still no retry used up.
      {"dropped six times after real progress", server.url("/files/huge.zip?etag=%22h%22&failures=6&dropafter=1100000"),
       0, "retrying in 0.0 s", 7, hugeSize,
       R"(["bytes=1100000-", "bytes=2200000-", "bytes=3300000-", "bytes=4400000-", "bytes=5500000-", "bytes=6600000-"])"},
      {"Range ignored: starts over", server.url("/files/big.zip?etag=%22o%22&failures=1&dropafter=100000&ranges=0"), 0,
       "the connection dropped", 2, size + 100000, R"(["bytes=100000-"])"},
      {"Retry-After honoured", server.url("/files/big.zip?etag=%22a%22&failures=1&status=503&retryafter=1"), 0,
       "retrying in 1.0 s: HTTP status 503", 2, -1, "[]"},
      {"retries spent", server.url("/files/big.zip?failures=99&status=503"), 255,
       "Download failed! Error - HTTP status 503", 1 + downloadRetries, -1, "[]"},
      {"404 not retried", server.url("/files/missing.zip"), 255, "Download failed! Error - HTTP status 404", 1, -1,
       "[]"},
      {"not an archive: refused at its first bytes", server.url("/data?size=50000000"), 255,
       "not the installer (an HTML page from a captive portal or a proxy login?)", 1, -1, "[]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runProcess({"rm", "-rf", cache});
    std::string before = stats();
    ProcessOptions o = options("/");
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = c.address;
    ProcessResult r = run(o);
    std::string after = stats();
    EXPECT_EQ(r.exitStatus, c.exitStatus) << r.err;
    EXPECT_TRUE(contains(r.err, c.inErr)) << r.err;
    EXPECT_EQ(number(after, "requests") - number(before, "requests"), c.requests) << after;
    long sent = number(after, "body_bytes_sent") - number(before, "body_bytes_sent");
    EXPECT_EQ(sent, c.bodyBytes >= 0 ? c.bodyBytes : std::min(sent, 2 * hugeSize));
    if (c.exitStatus == 0) {
      EXPECT_EQ(startedVersion(agent), "v1");
    } else {
      EXPECT_EQ(ourLines(r.err), kDownloadFailed) << r.err;
    }
    EXPECT_EQ(after.substr(after.find("\"ranges\": ") + 10, c.ranges.size()), c.ranges) << after;
    runProcess({"curl", "-s", server.url("/reset")});
  }
}

// An announced length larger than the free space where the archive goes
// fails at the response, before the body (a 1 MB file system of its own).
TEST_F(FaultE2E, TooLittleDiskSpaceFailsAtTheResponse) {
  std::string small = scratch / "small", mount = "mount -t tmpfs -o size=1m tmpfs \"$1\"";
  makeDirs(small);
  if (runProcess({"unshare", "-m", "sh", "-c", mount, "sh", small}).exitStatus != 0)
    GTEST_SKIP() << "cannot mount a small file system here (CI can)";
  publish("v1", "agent.zip", 3000000);
  ProcessOptions o = options("/files/agent.zip?etag=%22big%22");
  o.env["TMPDIR"] = small;
  ProcessResult r = runProcess({"unshare", "-m", "sh", "-c", mount + " && exec \"$0\"", bundle.executable(), small}, o);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_TRUE(contains(downloadFailedLine(r.err), "not enough disk space: 3.0 MB needed, 1.0 MB free")) << r.err;
  EXPECT_EQ(ourLines(r.err), kDownloadFailed);
  EXPECT_EQ(startCount(), 0u);
}
