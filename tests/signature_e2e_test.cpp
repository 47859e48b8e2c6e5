// Signed agents through built installers: one that trusts two keys made for
// this build tree, signatures made by the real minisign, a loopback server.
#include <gtest/gtest.h>

#include <functional>

#include "installer_run.h"

using namespace testing_util;

namespace {

const std::string kKeys = TEST_KEYS_DIR;

class SignedAgent : public InstallerRun {
 protected:
  void SetUp() override {
    InstallerRun::SetUp();
    bundle.useExecutable(SIGNED_INSTALLER_EXECUTABLE);
  }
  void sign(const std::string& file, const std::string& key, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"minisign", "-S", "-s", kKeys + "/" + key + ".key", "-m", file};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessResult r = runProcess(argv);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  void publishSigned(const std::string& version, const std::string& key = "trusted1",
                     const std::vector<std::string>& extra = {}) {
    publish(version);
    sign(zip, key, extra);
  }
  void expectNothingKept(const ProcessResult& r, const std::string& why) {
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    EXPECT_FALSE(exists(agent));
    EXPECT_FALSE(exists(cache + "/.validatestring"));
    EXPECT_EQ(startCount(), 0u);
  }
  static void edit(const std::string& path, const std::function<void(std::string&)>& change) {
    std::string text = readFile(path);
    change(text);
    writeFile(path, text);
  }

  std::string zip = served / "agent.zip";
  std::string sig = zip + ".minisig";
};

}  // namespace

TEST_F(SignedAgent, DownloadRunsOnlyWhatTheVendorSigned) {
  const std::string otherFile = "timestamp:1700000000\tfile:other.zip\thashed";
  struct Case { const char* name; std::function<void()> spoil; const char* why; } cases[] = {
      {"flipped byte", [&] { publishSigned("v"); edit(zip, [](std::string& t) { t[40] ^= 1; }); },
       "bad signature: the archive does not match its signature"},
      {"another key", [&] { publishSigned("v", "untrusted"); }, "signed by an unknown key"},
      {"legacy form", [&] { publishSigned("v", "trusted1", {"-l"}); }, "legacy signature"},
      {"another file", [&] { publishSigned("v", "trusted1", {"-t", otherFile}); }, "signed for \"other.zip\""},
      {"edited comment", [&] { publishSigned("v"); edit(sig, [](std::string& t) { t[t.find("file:") + 5] ^= 1; }); },
       "the trusted comment was altered"},
      {"truncated", [&] { publishSigned("v"); edit(sig, [](std::string& t) { t.resize(t.size() / 2); }); }, "malformed"},
      {"empty", [&] { publishSigned("v"); writeFile(sig, ""); }, "malformed"},
      {"missing", [&] { publishSigned("v"); unlink(sig.c_str()); }, "cannot fetch the signature: HTTP status 404"},
      {"HTML page", [&] { publishSigned("v"); writeFile(sig, "<html><body>Sign in</body></html>\n"); }, "malformed"},
  };
  int etag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.spoil();
    ProcessResult r = run("/files/agent.zip?etag=" + std::to_string(++etag));
    EXPECT_EQ(ourLines(r.err), kDownloadFailed) << r.err;
    expectNothingKept(r, c.why);
  }
  publishSigned("good", "trusted2");  // the second key, as after a rotation
  ProcessResult good = run("/files/agent.zip?etag=good");
  ASSERT_EQ(good.exitStatus, 0) << good.err;
  EXPECT_EQ(startedVersion(agent), "good");
  EXPECT_EQ(readFile(cache + "/.minisig"), readFile(sig));  // kept with the agent
}

TEST_F(SignedAgent, OlderSignatureNeverReplacesANewerAgent) {
  publishSigned("new", "trusted1", {"-t", "timestamp:4000000000\tfile:agent.zip\thashed"});
  ASSERT_EQ(run("/files/agent.zip?etag=new").exitStatus, 0);
  EXPECT_EQ(startedVersion(agent), "new");
  publishSigned("old");  // signed now, which is earlier
  ProcessResult older = run("/files/agent.zip?etag=old");
  EXPECT_EQ(older.exitStatus, 255);
  EXPECT_NE(older.err.find("signed earlier than the agent already installed"), std::string::npos) << older.err;
  EXPECT_NE(readFile(cache + "/.validatestring"), "old");
  EXPECT_FALSE(exists(agent));
  EXPECT_EQ(startCount(), 1u);
}

TEST_F(SignedAgent, ShippedArchiveNeedsItsSignatureBesideIt) {
  struct Case { const char* name; std::string archive, key; std::function<void(const std::string&)> spoil; bool runs; };
  auto flip = [](const std::string& path) { edit(path, [](std::string& t) { t[40] ^= 1; }); };
  Case cases[] = {
      {"first key", "InstallAgent.zip", "trusted1", nullptr, true},
      {"second key, versioned name", "InstallAgent_2.zip", "trusted2", nullptr, true},
      {"flipped byte", "InstallAgent.zip", "trusted1", flip, false},
      {"no signature", "InstallAgent.zip", "trusted1", [](const std::string& p) { unlink((p + ".minisig").c_str()); }, false},
      {"another key", "InstallAgent.zip", "untrusted", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string archive = bundle.resources() + "/" + c.archive;
    bundle.addAgentArchive(c.archive, record);
    sign(archive, c.key);
    if (c.spoil) c.spoil(archive);
    ProcessResult r = run(options("/files/none"));
    if (c.runs) {
      EXPECT_EQ(r.exitStatus, 0) << r.err;
      EXPECT_TRUE(readArgsRecord(record));
    } else {
      EXPECT_EQ(ourLines(r.err), (Lines{"Failed to initialize the install agent.", "Installation failed."})) << r.err;
      EXPECT_NE(r.err.find("The install agent " + archive + " cannot be trusted: "), std::string::npos) << r.err;
      EXPECT_FALSE(exists(record));
    }
    unlink(archive.c_str());
    unlink((archive + ".minisig").c_str());
  }
}

// Through a real TLS server whose certificate the installer is made to
// trust (bound over the system's store in a mount namespace of its own).
TEST_F(InstallerRun, HttpsIsNeverRedirectedToPlainHttp) {
  ProcessResult cert = runProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                                   "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", scratch / "key.pem",
                                   "-out", scratch / "cert.pem"});
  ASSERT_EQ(cert.exitStatus, 0) << cert.err;
  writeFile(scratch / "server.pem", readFile(scratch / "cert.pem") + readFile(scratch / "key.pem"));
  TestHttpServer tls(served.path(), scratch / "server.pem");
  struct Case { std::string address; bool runs; } cases[] = {
      {tls.url("/files/agent.zip?etag=a"), true},
      {tls.url("/redirect?to=" + tls.url("/files/agent.zip?etag=b")), true},
      {tls.url("/redirect?to=" + server.url("/files/agent.zip?etag=c")), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    runProcess({"rm", "-rf", cache});
    ProcessOptions o = options("/");
    o.env["QV_INTERNAL_INSTALL_AGENT_URL"] = c.address;
    ProcessResult r = runProcess({"unshare", "--mount", "sh", "-c",
                                  "mount --bind \"$1\" /etc/ssl/certs/ca-certificates.crt && shift && exec \"$@\"", "sh",
                                  scratch / "cert.pem", bundle.executable()},
                                 o);
    if (r.err.find("unshare: ") != std::string::npos) GTEST_SKIP() << "no mount namespace here: " << r.err;
    EXPECT_EQ(r.exitStatus, c.runs ? 0 : 255) << r.err;
    if (!c.runs) {
      EXPECT_EQ(ourLines(r.err), kDownloadFailed) << r.err;
    }
  }
}
