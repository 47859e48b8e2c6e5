// The parts whose rules an end-to-end run cannot reach cheaply: quoting
// through a real /bin/sh, the validation file's bytes, mkpath, removal next
// to links, the signature verifier, archive limits, back-off and escaping.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <functional>

#include <gtest/gtest.h>

#include "download/transfer_policy.h"
#include "hostenv/mkpath.h"
#include "hostenv/report.h"
#include "launch/agent_launch.h"
#include "launch/shell_command.h"
#include "platform/file_manager.h"
#include "provisioning/agent_signature.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/validation_file.h"
#include "test_util.h"

using namespace testing_util;

namespace {
Lines messages;
void recordMessage(std::string message, bool) { messages.push_back(message); }
}  // namespace

// Every byte string reaches the agent unchanged, one argument each, and
// nothing in it runs: as the script's path, the bundle location and the
// user's arguments.
TEST(FireInstallAgentWithArgs, EveryArgumentArrivesByteForByte) {
  std::string printable;
  for (int c = 0x20; c < 0x7f; ++c) printable += static_cast<char>(c);
  ScratchDir scratch;
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir(scratch.path().c_str()) == 0);  // where a PWNED would land
  for (const std::string& odd : {printable, std::string("two words\tand a tab"), std::string("new\nline"),
                                std::string("$(touch PWNED) `touch PWNED` $HOME ${HOME} $1 $@"),
                                std::string("\"q\" 'q' back\\slash\\"), std::string("a;b&c|d<e>f*?[x]~#!"),
                                std::string("\xc3\xa9t\xc3\xa9 \xff\xfe"), std::string("-installbundle")}) {
    SCOPED_TRACE(odd);
    std::string dir = scratch / ("agent " + std::to_string(std::hash<std::string>()(odd)));
    if (odd.find('/') == std::string::npos) dir += odd;  // the path itself holds the odd bytes
    makeDirs(dir);
    std::string script = dir + "/install", record = scratch / "record";
    writeFile(script, recordingAgentScript(record), 0755);
    std::vector<const char*> argv = {"prog", odd.c_str(), "", "x"};
    messages.clear();
    ASSERT_TRUE(fireInstallAgentWithArgs(script, "sh " + smart_quote(script), dir, 4, argv.data(), recordMessage));
    EXPECT_EQ(readArgsRecord(record), (Lines{script, "-installbundle", dir + "/bundle.zip", odd, "", "x"}));
    EXPECT_EQ(messages, Lines{});
    unlink(record.c_str());
  }
  EXPECT_EQ(chdir(cwd), 0);
  EXPECT_EQ(listDir(scratch.path()).size(), 8u);  // no PWNED
}

TEST(FireInstallAgentWithArgs, ShellThatCannotBeWaitedForIsAFailure) {
  // With SIGCHLD ignored the shell is reaped behind system()'s back, which
  // then returns -1 as when no shell could start.
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &old);
  messages.clear();
  const char* argv[] = {"prog"};
  bool ok = fireInstallAgentWithArgs("/x/install", "sh /x/install", "/r", 1, argv, recordMessage);
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(messages, Lines{"Failed to start the instal agent"});
}

// A tag matches only the whole first line of a regular file, and an empty
// tag never does; what was planted at the name is never read or written
// through, and the writer replaces it.
TEST(ValidationFile, TagMatchesOnlyTheWholeFirstLineOfARegularFile) {
  ScratchDir scratch;
  writeFile(scratch / "target", "t");
  struct Row { std::string name; std::function<void(const std::string&)> plant; std::string tag; bool valid; };
  auto content = [](const std::string& text) { return [text](const std::string& f) { writeFile(f, text); }; };
  const Row rows[] = {
      {"no file", [](const std::string&) {}, "\"abc\"", false},
      {"same tag", content("\"abc\""), "\"abc\"", true},
      {"tag a prefix", content("\"abc\""), "\"ab", false},
      {"tag longer", content("\"abc\""), "\"abc\"x", false},
      {"further lines", content("\"abc\"\nmore\nlines"), "\"abc\"", true},
      {"crlf: the \\r belongs to the tag", content("\"abc\"\r\n"), "\"abc\"", false},
      {"crlf, tag with \\r", content("\"abc\"\r\n"), "\"abc\"\r", true},
      {"empty file, empty tag", content(""), "", false},
      {"empty first line, empty tag", content("\nx"), "", false},
      {"a directory", [](const std::string& f) { makeDirs(f); }, "t", false},
      {"a FIFO", [](const std::string& f) { mkfifo(f.c_str(), 0600); }, "t", false},
      {"a link to a file with the tag", [&](const std::string& f) { symlink((scratch / "target").c_str(), f.c_str()); },
       "t", false},
      {"a dangling link", [&](const std::string& f) { symlink((scratch / "new").c_str(), f.c_str()); }, "t", false},
  };
  alarm(30);  // a reader stuck on the FIFO fails instead of hanging
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string dir = scratch / std::to_string(++n), file = dir + "/.validatestring";
    makeDirs(dir);
    row.plant(file);
    EXPECT_EQ(isCacheValid(dir + "/", row.tag), row.valid);
    if (row.name == "a directory") continue;
    writeValidationString(dir, "");  // an empty tag leaves the file alone
    EXPECT_EQ(isCacheValid(dir, row.tag), row.valid);
    writeValidationString(dir, "new");
    struct stat st;
    EXPECT_TRUE(lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600);
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(listDir(dir), Lines{".validatestring"});
    removeValidationString(dir);
    EXPECT_FALSE(isCacheValid(dir, "new"));
  }
  alarm(0);
  EXPECT_EQ(readFile(scratch / "target"), "t");
  EXPECT_FALSE(exists(scratch / "new"));
}

TEST(Mkpath, MakesEachMissingDirectoryWithTheMode) {
  ScratchDir scratch;
  makeDirs(scratch / "keep");
  chmod((scratch / "keep").c_str(), 0751);
  writeFile(scratch / "file", "");
  struct Row { std::string path, made; int result, error; mode_t mode; } rows[] = {
      {scratch / "a/b/c", scratch / "a", 0, 0, 0700},
      {scratch / "t/u/", scratch / "t/u", 0, 0, 0700},
      {scratch / "d//e///f", scratch / "d/e/f", 0, 0, 0700},
      {scratch / "keep", scratch / "keep", 0, 0, 0751},  // an existing directory keeps its mode
      {scratch / "file/below/more", scratch / "file", -1, ENOTDIR, 0644},
      {scratch / "file", scratch / "file", -1, ENOTDIR, 0644},
      {"", scratch.path(), 0, 0, 0700},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    errno = 0;
    EXPECT_EQ(mkpath(row.path, 0700), row.result);
    if (row.result != 0) {
      EXPECT_EQ(errno, row.error);
    }
    struct stat st;
    ASSERT_EQ(stat(row.made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, row.mode);
  }
  EXPECT_FALSE(exists(scratch / "file/below"));
}

// A link goes as a link; what it points to is left as it was.
TEST(RemoveItemAtPath, NeverFollowsALink) {
  struct Row { std::string name, remove; } rows[] = {
      {"a tree holding links", "tree"}, {"a link to a directory", "tree/to-dir"}, {"a link to a file", "tree/to-file"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir scratch;
    makeDirs(scratch / "tree/sub/deeper");
    writeFile(scratch / "tree/sub/deeper/file", "x");
    makeDirs(scratch / "outside/dir");
    writeFile(scratch / "outside/dir/keep", "keep");
    chmod((scratch / "outside/dir").c_str(), 0750);
    writeFile(scratch / "outside/file", "keep");
    ASSERT_EQ(symlink((scratch / "outside/dir").c_str(), (scratch / "tree/to-dir").c_str()), 0);
    ASSERT_EQ(symlink((scratch / "outside/file").c_str(), (scratch / "tree/to-file").c_str()), 0);
    EXPECT_TRUE(platform::removeItemAtPath(scratch / row.remove));
    EXPECT_FALSE(exists(scratch / row.remove));
    EXPECT_EQ(readFile(scratch / "outside/dir/keep"), "keep");
    EXPECT_EQ(readFile(scratch / "outside/file"), "keep");
    struct stat st;
    ASSERT_EQ(stat((scratch / "outside/dir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
  }
}

// A key pair made by the real minisign; the public key's base64 line.
std::string makeKey(const ScratchDir& dir, const std::string& name) {
  EXPECT_EQ(runProcess({"minisign", "-G", "-f", "-W", "-p", dir / (name + ".pub"), "-s", dir / (name + ".key")})
                .exitStatus, 0);
  Lines pub = lines(readFile(dir / (name + ".pub")));
  return pub.size() == 2 ? pub[1] : "";
}

std::string sign(const ScratchDir& dir, const std::string& key, std::vector<std::string> options = {}) {
  std::string out = dir / "sig";
  std::vector<std::string> argv = {"minisign", "-S", "-s", dir / (key + ".key"), "-m", dir / "agent.zip", "-x", out};
  argv.insert(argv.end(), options.begin(), options.end());
  EXPECT_EQ(runProcess(argv).exitStatus, 0) << key;
  return readFile(out);
}

TEST(AgentSignature, AcceptsOnlyAnIntactPrehashedSignatureNamingTheArchive) {
  ScratchDir dir;
  std::string content(300000, 'z');
  writeFile(dir / "agent.zip", content);
  auto hash = [](const std::string& bytes) { Blake2b512 h; h.update(bytes.data(), bytes.size()); return h.finish(); };
  Blake2bDigest archive = hash(content);
  content[123456] ^= 1;
  Blake2bDigest flipped = hash(content);
  PublicKeys trusted = parsePublicKeys(makeKey(dir, "old") + " ; " + makeKey(dir, "new"));
  ASSERT_EQ(trusted.error, "");
  makeKey(dir, "stranger");

  int64_t before = std::time(nullptr);
  std::string good = sign(dir, "old"), crlf, edited = good;
  for (char c : good.substr(0, good.size() - 1)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  edited[edited.find("timestamp:") + 10] ^= 1;
  struct Row { const char* name; std::string minisig; Blake2bDigest digest; const char* refusal; };
  const Row rows[] = {
      {"first key", good, archive, nullptr},
      {"crlf lines, no final newline", crlf, archive, nullptr},
      {"a byte flipped in the archive", good, flipped, "the archive does not match its signature"},
      {"a key not trusted", sign(dir, "stranger"), archive, "signed by an unknown key"},
      {"legacy format", sign(dir, "old", {"-l"}), archive, "legacy signature"},
      {"another file", sign(dir, "old", {"-t", "timestamp:1\tfile:other.zip"}), archive, "signed for \"other.zip\""},
      {"file named twice", sign(dir, "old", {"-t", "timestamp:1\tfile:x\tfile:agent.zip"}), archive, "repeats a field"},
      {"no timestamp", sign(dir, "old", {"-t", "file:agent.zip"}), archive, "no valid timestamp"},
      {"trusted comment edited", edited, archive, "the trusted comment was altered"},
      {"an html page", "<!DOCTYPE html>\n<html><body>Not Found</body></html>\n", archive, "malformed"},
      {"huge", good + std::string(9000, '\n'), archive, "too large"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Verification v = verifyAgentSignature(row.minisig, row.digest, trusted.keys, "agent.zip");
    EXPECT_EQ(v.ok, !row.refusal) << v.reason;
    if (row.refusal) {
      EXPECT_EQ(v.reason.rfind("bad signature: ", 0), 0u) << v.reason;
      EXPECT_TRUE(contains(v.reason, row.refusal)) << v.reason;
    } else {
      EXPECT_EQ(v.facts.file, "agent.zip");
      EXPECT_GE(v.facts.timestamp, before);
    }
  }
}

TEST(UnzipInstallAgent, TotalsAreCheckedAgainstCapsAndFreeSpace) {
  const ArchiveLimits limits = {8000000000, 100, 2100000, "/home"};
  const std::string tail = " bytes uncompressed, 9 bytes compressed:  99.9%", refused = "The install agent archive ";
  struct Row { std::string line, refusal; } rows[] = {
      {"100 files, 2100000" + tail, ""},
      {"1 file, 0" + tail, ""},
      {"101 files, 5" + tail, refused + "holds 101 entries, more than the 100 allowed"},
      {"2 files, 9000000000" + tail, refused + "unpacks to 9.0 GB, more than the 8.0 GB allowed"},
      {"2 files, 6900000" + tail, refused + "unpacks to 6.9 MB, more than the 2.1 MB free on /home"},
      {"Empty zipfile.", "The install agent archive's contents cannot be read"},
  };
  for (const Row& row : rows) EXPECT_EQ(checkArchiveTotals(row.line, limits), row.refusal) << row.line;
}

// Nothing from the environment or the names reaches unzip as an option or a
// pattern: UNZIP=-: would let "../escape" out, "x[1].zip" would match x1.zip.
TEST(UnzipInstallAgent, EnvironmentAndNamesAreNeverOptions) {
  ScratchDir scratch;
  ASSERT_EQ(runProcess({"python3", "-c", "import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], 'w'); "
                        "z.writestr('install', 'real'); z.writestr('../escape', 'out'); z.close()",
                        scratch / "x[1].zip"}).exitStatus, 0);
  makeZip(scratch / "x1.zip", {{"install", "decoy"}});
  for (const char* name : {"UNZIP", "UNZIPOPT", "ZIPINFO", "ZIPINFOOPT"}) {
    SCOPED_TRACE(name);
    ScopedEnv env(name, name[0] == 'Z' ? "-1" : "-:");
    makeDirs(scratch / "in");
    unzipInstallAgent(scratch / "x[1].zip", scratch / "in/-d", "unzip", recordMessage);
    EXPECT_FALSE(exists(scratch / "in/escape"));
    EXPECT_EQ(readFile(scratch / "in/-d/install"), "real");
    ASSERT_EQ(runProcess({"rm", "-rf", scratch / "in"}).exitStatus, 0);
  }
}

TEST(TransferPolicy, RetryDelayBacksOffWithJitterUnlessTheServerSaysWhen) {
  const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Row { int attempt; std::optional<std::string> retryAfter; double base, random01, seconds; } rows[] = {
      {3, std::nullopt, 1, 0.25, 2},
      {9, std::nullopt, 1, 1, 30},
      {3, "7", 1, 0.5, 7},
      {3, " 120 ", 1, 0.5, 60},
      {0, "Sun, 06 Nov 1994 08:50:07 GMT", 1, 0.5, 30},
      {0, "Sun, 06 Nov 1994 08:00:00 GMT", 1, 0.5, 0},   // already past
      {3, "Sunday, 06-Nov-94 08:50:07 GMT", 1, 0.5, 4},  // not an IMF-fixdate: ignored
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.attempt) + " " + row.retryAfter.value_or("(none)"));
    EXPECT_DOUBLE_EQ(retryDelaySeconds(row.attempt, row.retryAfter, row.base, now, row.random01), row.seconds);
  }
}

// Control bytes are escaped, so a message is one line and cannot drive the terminal.
TEST(ReportErrorMain, ControlBytesAreEscaped) {
  testing::internal::CaptureStderr();
  report_error_main("a\nInstallation failed.\x1b[2J\r\t\x7f\x01 \xc3\xa9~", true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "a\\x0aInstallation failed.\\x1b[2J\\x0d\\x09\\x7f\\x01 \xc3\xa9~\n");
}
