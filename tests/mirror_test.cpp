// The download server and its mirrors: a signed installer built to ask
// http://127.0.0.1:P/files/, then :P+1/files/, then nginx at :P+2/, ports
// fixed for this build tree (the tests of this file never run side by side).
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <optional>

#include "installer_run.h"
#include "platform/quantities.h"

using namespace testing_util;

namespace {

const int kPrimary = MIRROR_PORT, kMirror = MIRROR_PORT + 1, kNginx = MIRROR_PORT + 2;
std::string fileAt(int port, const std::string& path = "/files/") {
  return "http://127.0.0.1:" + std::to_string(port) + path + installAgentFileName;
}
const std::string kGood = "4000000000", kNewer = "4100000000";

class Mirrors : public Signed {
 protected:
  void SetUp() override {
    Signed::SetUp();
    ASSERT_EQ(runProcess({"cp", MIRRORED_INSTALLER_EXECUTABLE, executable}).exitStatus, 0);
    padding = 300000;
  }
  // The mirrored installer asks its own addresses: none from the environment.
  ProcessOptions mirrored() const {
    ProcessOptions o = options("/");
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = std::nullopt;
    return o;
  }
  // `version` signed with `key` at `timestamp`, in `root` under the name the installer asks for.
  void publishAt(const ScratchDir& root, const std::string& version, const std::string& key = "trusted1",
                 const std::string& timestamp = kGood) {
    makeZip(root / installAgentFileName, agentFiles(version, padding));
    sign(root / installAgentFileName, key, {"-t", "timestamp:" + timestamp + "\tfile:" + installAgentFileName});
  }
  // The lines that say a host was left, and for what.
  static Lines leftHosts(const std::string& err) {
    Lines out;
    for (const std::string& line : lines(err))
      if (line.rfind("Leaving ", 0) == 0) out.push_back(line.substr(0, line.find(" (")));
    return out;
  }
  static std::string leaving(int port, const std::string& why, const std::string& path = "/files/") {
    return "Leaving " + fileAt(port, path) + " for the next server: " + why;
  }
  std::string source() const { return readFile(cache + "/.source"); }

  ScratchDir primaryRoot, nginxRoot;  // the mirror's root is `served`
};

// Each way the download server fails, with a good mirror behind it: the mirror's agent runs, and the server got
// only the requests its failure allows.
TEST_F(Mirrors, EachWayTheServerFailsTheNextServes) {
  struct Row {
    std::string name;
    std::function<void(TestHttpServer&)> primary;  // none: nothing listens
    long primaryRequests;
    std::string why;
  } rows[] = {
      {"refuses connections", nullptr, 0, "cannot connect to the server"},
      {"answers 503", [&](TestHttpServer& s) { publishAt(primaryRoot, "good"), s.set("failures=99&status=503"); }, 2,
       "HTTP status 503"},
      {"stalls", [&](TestHttpServer& s) { publishAt(primaryRoot, "good"), s.set("stallafter=1000"); }, 1,
       "the server stopped sending"},
      {"serves a damaged archive",
       [&](TestHttpServer&) { publishAt(primaryRoot, "good"), writeFile(primaryRoot / installAgentFileName, damaged(readFile(zip))); },
       4, "bad signature: the archive does not match its signature"},
      {"serves an agent older than the build accepts",
       [&](TestHttpServer&) { publishAt(primaryRoot, "stale", "trusted1", "999999999"); }, 2, "bad signature: "},
      {"signs with a key this installer does not trust",
       [&](TestHttpServer&) { publishAt(primaryRoot, "alien", "untrusted"); }, 2, "bad signature: "},
      {"has no signature",
       [&](TestHttpServer&) { publishAt(primaryRoot, "good"), unlink((primaryRoot / installAgentFileName + ".minisig").c_str()); },
       2, "cannot fetch the signature: HTTP status 404"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    runProcess({"rm", "-rf", home + "/.velmor", primaryRoot / "*"});
    std::optional<TestHttpServer> primary;
    if (row.primary) row.primary(primary.emplace(primaryRoot.path(), "", kPrimary));
    TestHttpServer mirror(served.path(), "", kMirror);
    mirror.set("etag=\"m\"");
    publishAt(served, "good");
    ProcessResult r = run(mirrored());
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(startedVersion(agent), "good");
    Lines left = leftHosts(r.err);
    ASSERT_EQ(left.size(), 1u) << r.err;
    EXPECT_TRUE(contains(left[0], leaving(kPrimary, row.why))) << left[0];
    EXPECT_EQ(occurrences(r.err, "Trying another server\u2026\n"), 1u);  // what the console shows
    if (primary) { EXPECT_EQ(primary->stat("requests"), row.primaryRequests); }
    EXPECT_EQ(mirror.stat("requests"), 2);  // the archive and its signature
    EXPECT_EQ(source(), fileAt(kMirror));
  }
}

// Every host failing ends the run within the budget, as one host failing did; a part of an archive is never
// resumed from another host than the one it came from.
TEST_F(Mirrors, EveryHostFailingEndsWithinTheBudgetAndHostsAreNeverSpliced) {
  TestHttpServer primary(primaryRoot.path(), "", kPrimary), mirror(served.path(), "", kMirror);
  TestNginx nginx(nginxRoot.path(), kNginx);  // with nothing to serve
  publishAt(primaryRoot, "good");
  publishAt(served, "good");
  primary.set("failures=99&status=503");
  mirror.set("failures=99&status=500");
  double start = platform::monotonicSeconds();
  ProcessResult r = run(mirrored());
  expectFailed(r, kDownloadFailed, "HTTP status 404 " + fileAt(kNginx, "/"));
  EXPECT_EQ(leftHosts(r.err), (Lines{leaving(kPrimary, "HTTP status 503"), leaving(kMirror, "HTTP status 500")}));
  EXPECT_EQ(primary.stat("requests") + mirror.stat("requests"), 4);
  EXPECT_EQ(nginx.requests().size(), 1u);
  EXPECT_LT(platform::monotonicSeconds() - start, downloadDeadlineSeconds);
  // The server drops a newer agent's body part-way, then loses it: the mirror's agent comes whole, from byte 0.
  publishAt(primaryRoot, "newer", "trusted1", kNewer);
  primary.set("etag=\"p\"&failures=1&dropafter=200000&then=404");  // a part it could resume
  mirror.set("");
  r = run(mirrored());
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(startedVersion(agent), "good");
  EXPECT_TRUE(contains(primary.stats(), "\"ranges\": [\"bytes=200000-\"]")) << primary.stats();
  EXPECT_TRUE(contains(mirror.stats(), "\"ranges\": []")) << mirror.stats();
  EXPECT_EQ(mirror.stat("body_bytes_sent"), static_cast<long>(readFile(zip).size() + readFile(sig).size()));
}

// A cache installed from the server stays valid through a mirror: the mirror is asked for its signature alone,
// and only a different one fetches its archive. Back at the server, a cache hit is one 304 without a body.
TEST_F(Mirrors, ACacheFromTheServerIsReusedThroughAMirror) {
  publishAt(primaryRoot, "good");
  // The same bytes everywhere: zipped again a second later, the archive (and its signature) would differ.
  for (const ScratchDir* root : {&served, &nginxRoot})
    for (const std::string& name : {installAgentFileName, installAgentFileName + ".minisig"})
      writeFile(*root / name, readFile(primaryRoot / name));
  {
    TestHttpServer primary(primaryRoot.path(), "", kPrimary);
    primary.set("etag=\"p\"");
    ASSERT_EQ(run(mirrored()).exitStatus, 0);
    ASSERT_EQ(source(), "");  // the first host asked: the one a cache names by default
  }
  {
    TestNginx nginx(nginxRoot.path(), kNginx);  // the server and the first mirror down
    ProcessResult r = run(mirrored());
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(startedVersion(agent), "good");
    EXPECT_EQ(leftHosts(r.err).size(), 2u) << r.err;
    Lines seen = nginx.requests();
    ASSERT_EQ(seen.size(), 1u) << ::testing::PrintToString(seen) << r.err;
    EXPECT_TRUE(contains(seen[0], ".minisig 200 " + std::to_string(readFile(sig).size()))) << seen[0];
    // A newer agent there: its archive, with the signature already fetched.
    publishAt(nginxRoot, "newer", "trusted1", kNewer);
    r = run(mirrored());
    EXPECT_EQ(startedVersion(agent), "newer") << r.err;
    seen = nginx.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(contains(seen[2], installAgentFileName + " 200 ")) << seen[2];
    EXPECT_EQ(source(), fileAt(kNginx, "/"));
  }
  TestHttpServer primary(primaryRoot.path(), "", kPrimary);
  primary.set("etag=\"p2\"");
  publishAt(primaryRoot, "newest", "trusted1", "4200000000");
  EXPECT_EQ(run(mirrored()).exitStatus, 0);
  EXPECT_EQ(startedVersion(agent), "newest");
  primary.reset();
  EXPECT_EQ(run(mirrored()).exitStatus, 0);
  EXPECT_EQ(primary.stat("requests"), 1);
  EXPECT_EQ(primary.stat("body_bytes_sent"), 0);
}

// A server that drops every connection attempt (in a network namespace of the test's own, where a firewall
// rule can do that) is left after the connect time-out, well within the download's deadline.
TEST_F(Mirrors, AServerThatTakesNoConnectionCostsOnlyTheConnectTimeOut) {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs root for a network namespace (CI has one)";
  ASSERT_EQ(runProcess({"ip", "link", "set", "lo", "up"}).exitStatus, 0);
  ProcessResult nft = runProcess({"nft", "add table inet t; add chain inet t c { type filter hook input priority 0; }; "
                                          "add rule inet t c tcp dport " + std::to_string(kPrimary) + " drop"});
  ASSERT_EQ(nft.exitStatus, 0) << nft.err;
  TestHttpServer mirror(served.path(), "", kMirror);
  publishAt(served, "good");
  double start = platform::monotonicSeconds();
  ProcessResult r = run(mirrored());
  double seconds = platform::monotonicSeconds() - start;
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(startedVersion(agent), "good");
  EXPECT_EQ(leftHosts(r.err), Lines{leaving(kPrimary, "cannot connect to the server")});
  EXPECT_EQ(mirror.stat("requests"), 2);
  RecordProperty("seconds", std::to_string(seconds));
}

// An administrator's list (in a mount namespace, over /etc) is asked after the server and before the built-in
// mirrors, only while it and its folders are root's alone.
TEST_F(Mirrors, AnAdministratorsListCountsOnlyWhenRootsAlone) {
  if (lacksNamespace(true, "the administrator's file")) return;
  ScratchDir own;
  TestHttpServer organisation(own.path()), mirror(served.path(), "", kMirror);
  publishAt(own, "theirs");
  publishAt(served, "good");
  const std::string list = scratch / "mirrors";
  writeFile(list, "# the organisation's copy\nhttp://127.0.0.1:" + std::to_string(organisation.port()) +
                      "/files/  # first\nftp://old.example/\n");
  struct Row { std::string name, modes; std::string version, says; long theirs; } rows[] = {
      {"root's alone", "", "theirs", "Skipping a line of /etc/velmor/mirrors that is not a base address", 2},
      {"a file others may write", "chmod 666 \"$1/u/velmor/mirrors\" && ", "good",
       "Ignoring /etc/velmor/mirrors: /etc/velmor/mirrors is writable by others", 0},
      {"a folder its group may write", "chmod 775 \"$1/u/velmor\" && ", "good",
       "Ignoring /etc/velmor/mirrors: /etc/velmor is writable by others", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    runProcess({"rm", "-rf", home + "/.velmor"});
    organisation.reset();
    ScratchDir layer;
    // /etc with velmor/mirrors laid over it, on a tmpfs: the merged folders are root's, 0755.
    std::string overEtc = "mount -t tmpfs -o mode=0755 tmpfs \"$1\" && mkdir -p \"$1/u/velmor\" \"$1/w\" && cp " +
                          list + " \"$1/u/velmor/mirrors\" && " + row.modes +
                          "mount -t overlay overlay -o lowerdir=/etc,upperdir=\"$1/u\",workdir=\"$1/w\" /etc";
    ProcessResult r = run(mirrored(), {}, afterMounting(overEtc, layer.path()));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(startedVersion(agent), row.version);
    EXPECT_EQ(occurrences(r.err, row.says), 1u) << r.err;
    EXPECT_EQ(organisation.stat("requests"), row.theirs);
  }
}

}  // namespace
