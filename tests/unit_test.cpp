// The rules an end-to-end run cannot reach cheaply, each as a table of cases.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "download/archive_fetch.h"
#include "download/transfer_policy.h"
#include "hostenv/mkpath.h"
#include "hostenv/report.h"
#include "launch/agent_launch.h"
#include "platform/file_manager.h"
#include "platform/quantities.h"
#include "platform/task.h"
#include "platform/trust_rule.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_signature.h"
#include "provisioning/agent_sourcing.h"
#include "provisioning/agent_trust.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"
#include "provisioning/mirror_list.h"
#include "provisioning/payload.h"
#include "provisioning/validation_file.h"
#include "provisioning/zip_directory.h"
#include "test_util.h"

using namespace testing_util;

namespace {
Lines messages;
void recordMessage(std::string message, bool) { messages.push_back(message); }
}  // namespace

// Every byte string reaches the agent unchanged, one argument each, and nothing in it runs: as the script's
// path, the bundle location and the user's arguments. No shell parses them: not even Big5's A5 5C, whose
// second byte is a backslash, can eat a quote.
TEST(FireInstallAgentWithArgs, EveryArgumentArrivesByteForByte) {
  std::string printable;
  for (int c = 0x20; c < 0x7f; ++c) printable += static_cast<char>(c);
  ScratchDir scratch;
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir(scratch.path().c_str()) == 0);  // where a PWNED would land
  for (std::string odd : {printable.c_str(), "two words\tand a tab", "new\nline", "\"q\" 'q' back\\slash\\",
                         "$(touch PWNED) `touch PWNED` $HOME ${HOME} $1 $@", "a;b&c|d<e>f*?[x]~#!",
                         "\xc3\xa9t\xc3\xa9 \xff\xfe", "\xa5\x5c\x22;touch PWNED;\x22", "-installbundle"}) {
    SCOPED_TRACE(odd);
    std::string dir = scratch / ("agent " + std::to_string(std::hash<std::string>()(odd)));
    if (odd.find('/') == std::string::npos) dir += odd;  // the path itself holds the odd bytes
    makeDirs(dir);
    std::string script = dir + "/install", record = scratch / "record";
    writeFile(script, recordingAgentScript(record), 0755);
    messages.clear();
    ASSERT_TRUE(fireInstallAgentWithArgs(script, dir, {odd, "", "x"}, recordMessage));
    EXPECT_EQ(readArgsRecord(record), (Lines{script, "-installbundle", dir + "/bundle.zip", odd, "", "x"}));
    EXPECT_EQ(messages, Lines{});
    unlink(record.c_str());
  }
  EXPECT_EQ(chdir(cwd), 0);
  EXPECT_EQ(listDir(scratch.path()).size(), 9u);  // no PWNED
}

TEST(FireInstallAgentWithArgs, ShellThatCannotBeWaitedForIsAFailure) {
  // With SIGCHLD ignored the shell is reaped behind our back: -1, as when no shell could start.
  auto old = signal(SIGCHLD, SIG_IGN);
  messages.clear();
  bool ok = fireInstallAgentWithArgs("/x/install", "/r", {}, recordMessage);
  signal(SIGCHLD, old);
  EXPECT_FALSE(ok);
  EXPECT_EQ(messages, Lines{"Failed to start the instal agent"});
}

// A tag matches only the whole first line of a regular file, and an empty tag never does; what was planted at
// the name is never read or written through, and the writer replaces it.
TEST(ValidationFile, TagMatchesOnlyTheWholeFirstLineOfARegularFile) {
  ScratchDir scratch;
  writeFile(scratch / "target", "t");
  // A directory in the file's place stays, and vouches for nothing.
  struct Row { std::string name; std::function<void(const std::string&)> plant; std::string tag; bool valid;
               bool replaceable = true; };
  auto content = [](const std::string& text) { return [text](const std::string& f) { writeFile(f, text); }; };
  const Row rows[] = {
      {"no file", [](const std::string&) {}, "\"abc\"", false}, {"same tag", content("\"abc\""), "\"abc\"", true},
      {"tag a prefix", content("\"abc\""), "\"ab", false}, {"tag longer", content("\"abc\""), "\"abc\"x", false},
      {"further lines", content("\"abc\"\nmore\nlines"), "\"abc\"", true},
      {"crlf: the \\r belongs to the tag", content("\"abc\"\r\n"), "\"abc\"", false},
      {"crlf, tag with \\r", content("\"abc\"\r\n"), "\"abc\"\r", true},
      {"empty file, empty tag", content(""), "", false}, {"empty first line, empty tag", content("\nx"), "", false},
      {"a directory", [](const std::string& f) { makeDirs(f); }, "t", false, false},
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
    writeValidationString(dir, "");  // an empty tag leaves the file alone
    EXPECT_EQ(isCacheValid(dir, row.tag), row.valid);
    writeValidationString(dir, "new");
    EXPECT_EQ(isCacheValid(dir, "new"), row.replaceable);
    if (!row.replaceable) continue;
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
  const MkpathCode made = MkpathCode::Ok, blocked = MkpathCode::NotADirectory;
  struct Row { std::string path, made; MkpathCode result; int mode; } rows[] = {
      {scratch / "a/b/c", scratch / "a", made, 0700}, {scratch / "t/u/", scratch / "t/u", made, 0700},
      {scratch / "d//e///f", scratch / "d/e/f", made, 0700}, {"", scratch.path(), made, 0700},
      {scratch / "keep", scratch / "keep", made, 0751},  // an existing directory keeps its mode
      {scratch / "file/below/more", scratch / "file", blocked, 0644},
      {scratch / "file", scratch / "file", blocked, 0644},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(mkpath(row.path, 0700).code(), row.result);
    EXPECT_EQ(modeOf(row.made), row.mode);
  }
  EXPECT_FALSE(exists(scratch / "file/below"));
}

// A link goes as a link; what it points to is left as it was.
// One rule for every caller: an empty path names no folder (never the working directory), "/x" lies in "/",
// and only '/' separates.
// A single file's part may only name a place inside the directory it is unpacked into.
TEST(Payload, PartNamesStayInsideTheirDirectory) {
  struct Row { std::string name; bool plain; } rows[] = {
      {"bundle.zip", true}, {"locale/de/LC_MESSAGES/x.mo", true}, {std::string(255, 'a'), true},
      {"", false}, {".", false}, {"..", false}, {"../x", false}, {"a/../../x", false}, {"a/..", false},
      {"/etc/x", false}, {"a//b", false}, {"a/", false}, {"./a", false}, {std::string(256, 'a'), false},
      {std::string("a\0b", 3), false},
  };
  for (const Row& row : rows) EXPECT_EQ(isPlainRelativePath(row.name), row.plain) << row.name;
}

TEST(ParentDirectory, TheFolderThatHoldsAPath) {
  struct Row { std::string path, parent; } rows[] = {
      {"", ""}, {"/", "/"}, {"/x", "/"}, {"/a/b/", "/a"}, {"a", "."}, {"/a\\b/c", "/a\\b"}, {"/a\\b", "/"},
  };
  for (const Row& row : rows) EXPECT_EQ(platform::parentDirectory(row.path), row.parent) << row.path;
}

TEST(RemoveItemAtPath, NeverFollowsALink) {
  ScratchDir scratch;
  makeDirs(scratch / "tree/sub/deeper");
  makeDirs(scratch / "outside/dir");
  writeFile(scratch / "tree/sub/deeper/file", "x");
  writeFile(scratch / "outside/dir/keep", "keep");
  writeFile(scratch / "outside/file", "keep");
  chmod((scratch / "outside/dir").c_str(), 0750);
  const char* links[][2] = {{"to-dir", "dir"}, {"to-file", "file"}, {"tree/to-dir", "dir"}, {"tree/to-file", "file"}};
  for (auto& link : links) ASSERT_EQ(symlink((scratch / "outside/" + link[1]).c_str(), (scratch / link[0]).c_str()), 0);
  for (const char* remove : {"to-dir", "to-file", "tree"}) {  // a link to a directory, to a file, a tree holding both
    SCOPED_TRACE(remove);
    EXPECT_TRUE(platform::removeItemAtPath(scratch / remove));
    EXPECT_FALSE(exists(scratch / remove));
    EXPECT_EQ(readFile(scratch / "outside/dir/keep") + readFile(scratch / "outside/file"), "keepkeep");
    EXPECT_EQ(modeOf(scratch / "outside/dir"), 0750);
  }
}

// The real minisign's signature of dir/agent.zip by one of the build tree's test keys.
std::string sign(const ScratchDir& dir, std::vector<std::string> options = {}, const std::string& key = "trusted1") {
  std::string out = dir / "sig", keyFile = std::string(TEST_KEYS_DIR) + "/" + key + ".key";
  std::vector<std::string> argv = {"minisign", "-S", "-s", keyFile, "-m", dir / "agent.zip", "-x", out};
  argv.insert(argv.end(), options.begin(), options.end());
  EXPECT_EQ(runProcess(argv).exitStatus, 0) << key;
  return readFile(out);
}

// The gate: an intact prehashed signature by a trusted key, for the expected name, no older than either floor;
// each refusal names its check, and only an archive that does not match its signature is fetched once more.
TEST(AgentGate, AdmitsOnlyAnIntactFreshSignatureNamingTheArchive) {
  ScratchDir dir;
  std::string content(300000, 'z');
  writeFile(dir / "agent.zip", content);
  auto hash = [](const std::string& bytes) { Blake2b512 h; h.update(bytes.data(), bytes.size()); return h.finish(); };
  Blake2bDigest archive = hash(content);
  content[123456] ^= 1;
  Blake2bDigest flipped = hash(content);
  auto key = [](const char* name) { return lines(readFile(std::string(TEST_KEYS_DIR) + "/" + name + ".pub")).back(); };
  PublicKeys trusted = parsePublicKeys(key("trusted1") + " ; " + key("trusted2"));
  ASSERT_EQ(trusted.error, "");

  auto at = [&](std::string when) { return sign(dir, {"-t", "timestamp:" + when + "\tfile:agent.zip"}, "trusted2"); };
  auto comment = [&](const char* trusted) { return sign(dir, {"-t", trusted}); };
  std::string good = sign(dir), crlf, edited = good, shortBase64 = good;
  for (char c : good.substr(0, good.size() - 1)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  edited[edited.find("timestamp:") + 10] ^= 1;
  shortBase64.erase(shortBase64.find('\n') + 5, 4);
  const AgentFloor none{0, 0};
  const std::string unknownKey = "signed by an unknown key (key id " +  // as the .pub's comment has it
      lines(readFile(std::string(TEST_KEYS_DIR) + "/untrusted.pub"))[0].substr(sizeof "untrusted comment: minisign public key") + ")";
  constexpr GateCode Ok = GateCode::Ok, SignatureMismatch = GateCode::SignatureMismatch, UnknownKey = GateCode::UnknownKey,
                     BadSignature = GateCode::BadSignature, BelowBuildFloor = GateCode::BelowBuildFloor,
                     OlderThanInstalled = GateCode::OlderThanInstalled, KeysBroken = GateCode::KeysBroken;
  struct Row { const char* name; std::string minisig; Blake2bDigest digest; AgentFloor floor; GateCode code; const char* refusal; };
  const Row rows[] = {
      {"first key", good, archive, none, Ok, nullptr},
      {"second key, at both floors", at("2000"), archive, {2000, 2000}, Ok, nullptr},
      {"crlf lines, no final newline", crlf, archive, none, Ok, nullptr},
      {"a byte flipped in the archive", good, flipped, none, SignatureMismatch, "the archive does not match its signature"},
      {"a key not trusted, named as minisign names it", sign(dir, {}, "untrusted"), archive, none, UnknownKey, unknownKey.c_str()},
      {"legacy format", sign(dir, {"-l"}), archive, none, BadSignature, "legacy signature"},
      {"another file", comment("timestamp:1\tfile:other.zip"), archive, none, BadSignature, "signed for \"other.zip\""},
      {"a longer name", comment("timestamp:1\tfile:agent.zip.old"), archive, none, BadSignature, "signed for"},
      {"file named twice", comment("timestamp:1\tfile:x\tfile:agent.zip"), archive, none, BadSignature, "repeats a field"},
      {"no timestamp", comment("file:agent.zip"), archive, none, BadSignature, "no valid timestamp"},
      {"trusted comment edited", edited, archive, none, BadSignature, "the trusted comment was altered"},
      {"an html page", "<!DOCTYPE html>\n<html><body>Not Found</body></html>\n", archive, none, BadSignature, "malformed: not four lines"},
      {"short base64 in the signature line", shortBase64, archive, none, BadSignature, "malformed: bad signature line"},
      {"huge", good + std::string(9000, '\n'), archive, none, BadSignature, "too large"},
      {"a second before the build's floor", at("1999"), archive, {2000, 0}, BelowBuildFloor, "earlier than the oldest agent this installer accepts"},
      {"a day before the kept floor", at("1764633600"), archive, {0, 1764720000}, OlderThanInstalled,
       "the server offers an older agent (signed 2025-12-02) than the one installed (signed 2025-12-03)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    GateStatus admitted = admitAgent(row.minisig, row.digest, "agent.zip", row.floor, trusted);
    const std::string& refused = admitted.message();
    EXPECT_EQ(admitted.code(), row.code) << refused;
    EXPECT_EQ(refused.empty(), !row.refusal) << refused;
    EXPECT_EQ(mayPassOnRefetch(admitted.code()), row.digest == flipped);
    bool older = row.refusal && contains(row.refusal, "older agent");  // a good signature, for an old agent
    EXPECT_EQ(refused.rfind("bad signature: ", 0), row.refusal && !older ? 0 : std::string::npos) << refused;
    EXPECT_TRUE(!row.refusal || contains(refused, row.refusal)) << refused;
    // A kept signature counts as a floor only when its comment verifies.
    bool intact = !row.refusal || row.digest == flipped || contains(row.refusal, "earlier") || older;
    EXPECT_EQ(keptFloorOf(row.minisig, "agent.zip", trusted) > 0, intact);
  }
  EXPECT_TRUE(admitAgent("anything", archive, "agent.zip", none, PublicKeys{}).ok());  // a build without keys
  PublicKeys broken = parsePublicKeys("RW" + std::string(54, 'A'));
  GateStatus brokenKeys = admitAgent(good, archive, "agent.zip", none, broken);
  EXPECT_TRUE(brokenKeys.code() == KeysBroken && contains(brokenKeys.message(), "keys are broken"));
}

// What the archives made here by zip and Python declare, read through the descriptor as the unpacking reads it.
TEST(UnzipInstallAgent, TotalsAreReadFromTheCentralDirectory) {
  ScratchDir scratch;
  makeZip(scratch / "zip.zip", {{"install", "#!/bin/sh\n"}, {"lib/data", std::string(300000, 'x')}});
  const char* make = R"(import struct, sys, zipfile
d = sys.argv[1]
with zipfile.ZipFile(d + '/comment.zip', 'w') as z:
    z.writestr('install', 'x' * 7); z.comment = b'c' * 65000
with zipfile.ZipFile(d + '/many.zip', 'w') as z:
    for i in range(70000): z.writestr('f%d' % i, 'y')
with zipfile.ZipFile(d + '/three.zip', 'w') as z:
    for name in 'abc': z.writestr(name, name * 100)
three = open(d + '/three.zip', 'rb').read()
open(d + '/cut.zip', 'wb').write(three[:-10])
open(d + '/overcounted.zip', 'wb').write(three[:-14] + struct.pack('<HH', 4, 4) + three[-10:])
name = b'big'
z64 = struct.pack('<HHQQ', 1, 16, 6000000000, 0)
local = struct.pack('<IHHHIIIIHH', 0x04034b50, 45, 0, 0, 0, 0, 0xffffffff, 0xffffffff, 3, 20) + name + z64
central = struct.pack('<IHHHHIIIIHHHHHII', 0x02014b50, 45, 45, 0, 0, 0, 0, 0xffffffff, 0xffffffff, 3, 20, 0, 0, 0, 0, 0) + name + z64
end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 1, 1, len(central), len(local), 0)
open(d + '/zip64.zip', 'wb').write(local + central + end)
open(d + '/text.zip', 'w').write('not an archive\n')
)";
  ASSERT_EQ(runProcess({"python3", "-c", make, scratch.path()}).exitStatus, 0);
  struct Row { std::string archive; unsigned long long maxEntries; std::optional<std::pair<uint64_t, uint64_t>> totals; } rows[] = {
      {"zip.zip", 100, {{300010, 2}}},          // Info-ZIP's own
      {"comment.zip", 100, {{7, 1}}},           // the end record found behind a long comment
      {"many.zip", 100000, {{70000, 70000}}},  // more than 65535 entries: zip64's end records
      {"many.zip", 69999, {{0, 70000}}},       // more than allowed: the count alone
      {"many.zip", 70000, {{70000, 70000}}},
      {"zip64.zip", 100, {{6000000000, 1}}},   // a size in zip64's extra field
      {"three.zip", 100, {{300, 3}}},
      {"cut.zip", 100, std::nullopt},          // no end record
      {"overcounted.zip", 100, std::nullopt},  // counts a record it does not hold
      {"text.zip", 100, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.archive + " within " + std::to_string(row.maxEntries));
    int fd = open((scratch / row.archive).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::optional<platform::TreeTotals> totals = declaredTotals(fd, row.maxEntries);
    ASSERT_EQ(totals.has_value(), row.totals.has_value());
    if (totals) {
      EXPECT_EQ(std::make_pair(totals->bytes, totals->entries), *row.totals);
    }
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // the descriptor's offset is unzip's
    close(fd);
  }
}

TEST(UnzipInstallAgent, TotalsAreCheckedAgainstCapsAndFreeSpace) {
  const ArchiveLimits limits = {8000000000, 100, 2100000, "/home"};
  const std::string refused = "The install agent archive ";
  struct Row { platform::TreeTotals totals; std::string refusal; } rows[] = {
      {{2100000, 100}, ""}, {{0, 1}, ""}, {{0, 0}, ""},
      {{5, 101}, refused + "holds 101 entries, more than the 100 allowed"},
      {{9000000000, 2}, refused + "unpacks to 9.0\u00a0GB, more than the 8.0\u00a0GB allowed"},
      {{6900000, 2}, refused + "unpacks to 6.9\u00a0MB, more than the 2.1\u00a0MB free on /home"},
  };
  for (const Row& row : rows) {
    UnzipStatus checked = checkUnpacked(row.totals, limits, false);
    EXPECT_EQ(checked.message(), row.refusal) << row.totals.bytes << " " << row.totals.entries;
    EXPECT_EQ(checked.code(), row.refusal.empty() ? UnzipCode::Ok : UnzipCode::OverLimits);
  }
}

// The unpacked tree is counted again before unzip could pass a limit at 4 GB/s or 200000 entries/s.
TEST(UnzipInstallAgent, ChecksComeBeforeALimitCouldBePassed) {
  const ArchiveLimits limits = {8000000000, 100000, 2000000000, "/home"};
  struct Row { platform::TreeTotals unpacked; std::optional<double> seconds; } rows[] = {
      {{0, 0}, 0.5}, {{0, 99000}, 0.05}, {{1200000000, 0}, 0.2}, {{1999000000, 0}, 0.05},
      {{2000000000, 100000}, 0.05}, {{2000000001, 0}, std::nullopt}, {{0, 100001}, std::nullopt},
  };
  for (const Row& row : rows)
    EXPECT_EQ(secondsToNextCheck(row.unpacked, limits), row.seconds) << row.unpacked.bytes << " " << row.unpacked.entries;
  EXPECT_EQ(secondsToNextCheck({0, 0}, {8000000000, 1000000, 80000000000, "/home"}), 1.0);
}

// Nothing from the environment or the names reaches unzip as an option or a pattern: UNZIP=-: would let
// "../escape" out, "x[1].zip" would match x1.zip.
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
    EXPECT_TRUE(unpackAgentArchive(scratch / "x[1].zip", scratch / "in/-d", recordMessage).ok());
    EXPECT_FALSE(exists(scratch / "in/escape"));
    EXPECT_EQ(readFile(scratch / "in/-d/install"), "real");
    ASSERT_EQ(runProcess({"rm", "-rf", scratch / "in"}).exitStatus, 0);
  }
}

// A file is hashed whole and in order, whatever its size against the pieces it is read in.
TEST(AgentGate, AFileHashesAsItsBytesDo) {
  ScratchDir scratch;
  const size_t piece = 256 * 1024;
  for (size_t size : {size_t{0}, size_t{1}, piece - 1, piece, piece + 1, 3 * piece, 3 * piece + 1, 7 * piece + 12345}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeFile(scratch / "f", bytes);
    Blake2b512 whole;
    whole.update(bytes.data(), bytes.size());
    int fd = open((scratch / "f").c_str(), O_RDONLY | O_CLOEXEC);
    platform::Result<Blake2bDigest, GateCode> hashed = hashOpenFile(fd, "f");
    close(fd);
    ASSERT_TRUE(hashed);
    EXPECT_TRUE(*hashed == whole.finish());
  }
  platform::Result<Blake2bDigest, GateCode> unreadable = hashOpenFile(-1, "f");
  EXPECT_EQ(unreadable.code(), GateCode::Unreadable);
}

// A tool gets its file-size limit, its descriptor 3 and no other descriptor of ours, and this process's own
// limit is as it was.
TEST(RunTool, GetsItsFileSizeLimitAndDescriptor3Only) {
  ScratchDir scratch;
  int archive = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int stray = open("/dev/null", O_RDONLY);  // not close-on-exec, as a caller's may be
  ASSERT_GE(stray, 0);
  struct rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const std::string script = "test -e /proc/$$/fd/" + std::to_string(stray) + " && exit 9; test -e /proc/$$/fd/3 || exit 3; "
                             "head -c 100000 /dev/zero > \"$0\"; exit 0";
  struct Row { uint64_t maxFileBytes; int fd3; int exitStatus; off_t written; } rows[] = {
      {4096, archive, 0, 4096},  // head ends on SIGXFSZ at the limit
      {0, archive, 0, 100000},
      {1000000, archive, 0, 100000},
      {0, -1, 3, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.maxFileBytes);
    std::string out = scratch / "out";
    unlink(out.c_str());
    platform::ToolLimits limits;
    limits.maxFileBytes = row.maxFileBytes;
    platform::ToolRun run = platform::runTool({"/bin/sh", "-c", script, out}, {}, row.fd3, limits);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(WIFEXITED(run.waitStatus) ? WEXITSTATUS(run.waitStatus) : -1, row.exitStatus);
    struct stat st {};
    EXPECT_EQ(stat(out.c_str(), &st) == 0 ? st.st_size : 0, row.written);
    struct rlimit after;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_cur);
  }
  close(stray);
  close(archive);
}

// What a failed transfer says, and whether another attempt may go better.
TEST(TransferPolicy, WhatFailuresSayAndWhichAreRetried) {
  using network::NetworkCause;
  using network::TransferEnd;
  // httpProxyOnly: an https address while the environment names a proxy for http only.
  struct Row { TransferEnd kind; long status; NetworkCause cause; bool retried; std::string says; bool httpProxyOnly = false; };
  const std::string onlyHttp = " (https addresses use https_proxy, and only http_proxy is set)";
  std::vector<Row> rows = {
      {TransferEnd::HttpStatus, 407, NetworkCause::None, false, "the proxy requires authentication"},
      {TransferEnd::NetworkError, 407, NetworkCause::ConnectFailed, false, "the proxy requires authentication"},
      {TransferEnd::NetworkError, 403, NetworkCause::ConnectFailed, false, "cannot connect to the server"},
      {TransferEnd::NetworkError, 503, NetworkCause::ConnectFailed, true, "cannot connect to the server"},
      {TransferEnd::NetworkError, 0, NetworkCause::ConnectFailed, true, "cannot connect to the server"},
      {TransferEnd::NetworkError, 0, NetworkCause::ResolveFailed, true, "cannot resolve the host name"},
      {TransferEnd::NetworkError, 200, NetworkCause::ConnectionDropped, true, "the connection dropped"},
      {TransferEnd::NetworkError, 200, NetworkCause::Stalled, true, "the server stopped sending"},
      {TransferEnd::NetworkError, 0, NetworkCause::ConnectFailed, true, "cannot connect to the server" + onlyHttp, true},
      {TransferEnd::NetworkError, 0, NetworkCause::ResolveFailed, true, "cannot resolve the host name" + onlyHttp, true},
      {TransferEnd::NetworkError, 0, NetworkCause::TlsUntrusted, false, "the certificate is not trusted"},
      {TransferEnd::NetworkError, 0, NetworkCause::TlsUntrusted, false, "the certificate is not trusted", true},
      {TransferEnd::NetworkError, 0, NetworkCause::TooManyRedirects, false, "too many redirects"},
      {TransferEnd::WriteError, 200, NetworkCause::None, false, "disk full"},
  };
  for (auto [status, retried] : std::map<long, bool>{{408, true}, {429, true}, {500, true}, {502, true}, {503, true},
                                                     {504, true}, {403, false}, {404, false}, {501, false}})
    rows.push_back({TransferEnd::HttpStatus, status, NetworkCause::None, retried,
                    "HTTP status " + std::to_string(status)});
  for (const Row& row : rows) {
    network::TransferResult result{row.kind, row.status, 0, row.cause,
                                    row.kind == TransferEnd::WriteError ? "disk full" : "", "", row.httpProxyOnly};
    EXPECT_EQ(isRetryable(result), row.retried) << row.says << " " << row.status;
    EXPECT_EQ(window::english(failureReason(result)), row.says);
  }
}

// The numbers a view puts into words, in the places a translation gives them.
TEST(Message, NumbersGoWhereTheWordsPutThem) {
  using Id = window::Message::Id;
  struct Row { window::Message message; std::string english; } rows[] = {
      {{Id::Downloading, {6}}, "Downloading   6%"},
      {{Id::Downloading, {100}}, "Downloading 100%"},
      {{Id::RetryingIn, {4}}, "Retrying in 4 s\u2026"},
      {{Id::HttpStatus, {503}, " https://h/a"}, "HTTP status 503 https://h/a"},
      {{Id::NoDiskSpace, {3000000, 999}}, "not enough disk space: 3.0\u00a0MB needed, 999 bytes free"},
      {{Id::ConnectFailed, {}, " (refused)"}, "cannot connect to the server (refused)"},
      {window::Message::text("50% of 100%s"), "50% of 100%s"},  // words of their own are never a pattern
      {{}, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(window::english(row.message), row.english);
  struct Fill { std::string pattern; std::string filled; } fills[] = {
      {"%2$s von %1$s", "B von A"}, {"%1$s%%", "A%"}, {"%3$s %s %", "%3$s %s %"}, {"100%1$s", "100A"},
  };
  for (const Fill& f : fills) EXPECT_EQ(window::fillPattern(f.pattern, {"A", "B"}), f.filled) << f.pattern;
}

// What comes after a request or the gate's verdict: the one place retry, resume, 304 and refetch are decided.
TEST(TransferPolicy, NextStep) {
  using network::NetworkCause;
  using network::TransferEnd;
  auto ended = [](TransferEnd kind, long status = 0, NetworkCause cause = NetworkCause::None) {
    Attempt a;
    a.result = {kind, status, 0, cause, "", ""};
    a.retries = 2;
    return a;
  };
  auto with = [](Attempt a, auto change) { change(a); return a; };
  auto elsewhere = [](Attempt& a) { a.anotherHost = true; };
  auto judged = [](GateCode code, bool again) {
    Attempt a;
    a.gate = code;
    a.fetchedAgain = again;
    return a;
  };
  const Attempt dropped = ended(TransferEnd::NetworkError, 200, NetworkCause::ConnectionDropped);
  struct Row { std::string name; Attempt attempt; NextStep step; } rows[] = {
      {"the whole body", ended(TransferEnd::Finished), NextStep::Accept},
      {"304 to a tag sent", with(ended(TransferEnd::NotModified), [](Attempt& a) { a.askedIfNoneMatch = true; }),
       NextStep::Accept},
      {"304 nobody asked for", ended(TransferEnd::NotModified), NextStep::Refuse},
      {"416 to a request for the rest", with(ended(TransferEnd::HttpStatus, 416), [](Attempt& a) { a.askedForRange = true; }),
       NextStep::StartOver},
      {"416 to a whole request", ended(TransferEnd::HttpStatus, 416), NextStep::Fail},
      {"a drop", dropped, NextStep::RetryLater},
      {"a drop with retries spent", with(dropped, [](Attempt& a) { a.retriesUsed = 2; }), NextStep::Fail},
      {"a drop after progress, retries spent", with(dropped, [](Attempt& a) { a.retriesUsed = 2; a.progressed = true; }),
       NextStep::ResumeNow},
      {"no retries at all", with(dropped, [](Attempt& a) { a.retries = 0; a.progressed = true; }), NextStep::Fail},
      {"404", ended(TransferEnd::HttpStatus, 404), NextStep::Fail},
      {"passed by the gate", judged(GateCode::Ok, false), NextStep::Accept},
      {"a mismatch: fetched once more", judged(GateCode::SignatureMismatch, false), NextStep::StartOver},
      {"a mismatch after the refetch", judged(GateCode::SignatureMismatch, true), NextStep::Refuse},
      {"an unknown key is not fetched again", judged(GateCode::UnknownKey, false), NextStep::Refuse},
      {"an older agent is not fetched again", judged(GateCode::OlderThanInstalled, false), NextStep::Refuse},
      {"no signature is not fetched again", judged(GateCode::NoSignature, false), NextStep::Refuse},
      // With another host to ask.
      {"a stale mirror is left", with(judged(GateCode::BelowBuildFloor, false), elsewhere), NextStep::NextHost},
      {"a mismatch is fetched once more from the same host",
       with(judged(GateCode::SignatureMismatch, false), elsewhere), NextStep::StartOver},
      {"a mismatch after the refetch", with(judged(GateCode::SignatureMismatch, true), elsewhere), NextStep::NextHost},
      {"a refused connection", with(ended(TransferEnd::NetworkError, 0, NetworkCause::ConnectFailed), elsewhere),
       NextStep::NextHost},
      {"a stall", with(ended(TransferEnd::NetworkError, 200, NetworkCause::Stalled), elsewhere), NextStep::NextHost},
      {"a proxy's 503 to the tunnel is retried",
       with(ended(TransferEnd::NetworkError, 503, NetworkCause::ConnectFailed), elsewhere), NextStep::RetryLater},
      {"a 503, once", with(ended(TransferEnd::HttpStatus, 503), elsewhere), NextStep::RetryLater},
      {"a 503 after the host's retry",
       with(ended(TransferEnd::HttpStatus, 503), [](Attempt& a) { a.anotherHost = true; a.retriesUsed = 1; }),
       NextStep::NextHost},
      {"a drop after progress stays with the host",
       with(dropped, [](Attempt& a) { a.anotherHost = true; a.retriesUsed = 1; a.progressed = true; }),
       NextStep::ResumeNow},
      {"a body refused", with(ended(TransferEnd::WriteError), [](Attempt& a) { a.anotherHost = a.bodyRefused = true; }),
       NextStep::NextHost},
      {"404", with(ended(TransferEnd::HttpStatus, 404), elsewhere), NextStep::NextHost},
  };
  for (const Row& row : rows) EXPECT_EQ(nextStep(row.attempt), row.step) << row.name;
}

TEST(TransferPolicy, RetryDelayBacksOffWithJitterUnlessTheServerSaysWhen) {
  struct Row { int attempt; std::optional<double> retryAfter; double random01, seconds; bool anotherHost = false; } rows[] = {
      {0, std::nullopt, 1, 1}, {3, std::nullopt, 0.25, 2}, {9, std::nullopt, 1, 30}, {3, 7, 0.5, 7}, {3, 120, 0.5, 60},
      // Another host may serve now: no long wait here, whatever this one says.
      {0, std::nullopt, 1, 0.2, true}, {0, std::nullopt, 0.1, 0.1, true}, {0, 30, 0.5, 0.2, true},
  };
  for (const Row& row : rows)
    EXPECT_DOUBLE_EQ(retryDelaySeconds(row.attempt, row.retryAfter, 1, row.random01, row.anotherHost), row.seconds)
        << row.attempt << " " << row.anotherHost;
}

namespace {
using network::TransferEnd;

// One attempt as the test's server plays it.
struct Answer {
  long status;
  std::string body = "";
  TransferEnd end = TransferEnd::Finished;
  std::optional<std::string> etag = std::nullopt, contentRange = std::nullopt, lastModified = std::nullopt;
  std::optional<int64_t> announced = std::nullopt;  // the Content-Length, when not the body's size
  long redirects = 0;                               // followed before this answer
  network::NetworkCause cause = network::NetworkCause::ConnectionDropped;  // of a NetworkError
};
// No connection: nothing answered.
const Answer refused{.status = 0, .end = TransferEnd::NetworkError, .cause = network::NetworkCause::ConnectFailed};
constexpr int64_t kNoLength = -1;  // announced as HttpResponse has it: no length (chunked)
// Cut off after `body`: a 200, or with a range a 206.
Answer dropped(std::string body, int64_t length, std::optional<std::string> etag = "\"e\"",
               std::optional<std::string> range = std::nullopt) {
  return {range ? 206 : 200, std::move(body), TransferEnd::NetworkError, std::move(etag), range, std::nullopt, length};
}
// The rest of a 2 MiB archive from `from`, of the `total` the server names ("*": unknown).
Answer resumed(std::string body, uint64_t from, std::string total) {
  return {206, std::move(body), TransferEnd::Finished, "\"e\"", "bytes " + std::to_string(from) + "-2097155/" + total};
}

struct NoTransfer : network::Transfer {
  void cancel() override {}
};

// An ArchiveFetch of http://x/a (and further hosts) with the test as the server: it records each request's
// extra headers (after the host's letter when there are several), and the test answers them in turn.
struct ScriptedFetch : ArchiveFetch::Client {
  explicit ScriptedFetch(ArchiveFetch::Options options, std::optional<std::string> ifNoneMatch = std::nullopt,
                         std::vector<std::string> hosts = {"http://x/a"})
      : ifNoneMatch(std::move(ifNoneMatch)), firstHost(hosts.at(0)) {
    bool several = hosts.size() > 1;
    options.startTransfer = [this, several](network::HttpRequest request, network::BodySink* sink,
                                   network::HttpDownloadDelegate* delegate) -> std::unique_ptr<network::Transfer> {
      std::string headers;
      for (const std::string& header : request.headers) headers += (headers.empty() ? "" : " ") + header;
      requests.push_back(several ? request.url.substr(7, 1) + ":" + headers : headers);
      started.push_back({sink, delegate, request.maxRedirects});
      return std::make_unique<NoTransfer>();
    };
    fetch = std::make_unique<ArchiveFetch>(loop, *this, std::move(hosts), dir / "a.zip", options);
  }
  // Waits for request `i` (false when it never comes) and plays `a` as the real transfer ends: redirects beyond
  // the request's as too many redirects, a response not taken by its status, a refused write as a write error.
  bool answer(size_t i, const Answer& a) {
    platform::iterateUntil([&] { return started.size() > i || !outcome.empty(); }, 10);
    if (started.size() <= i) return false;
    auto [sink, delegate, allowed] = started[i];
    network::TransferResult result{a.end, a.status, 0, network::NetworkCause::None, "", "http://x/a", false,
                                   std::min(a.redirects, allowed)};
    if (a.end == TransferEnd::NetworkError) result.cause = a.cause;
    if (a.status == 0) {
      // never connected: no response
    } else if (a.redirects > allowed)
      result = {TransferEnd::NetworkError, 0, 47, network::NetworkCause::TooManyRedirects, "", "", false, allowed};
    else if (!delegate->didReceiveResponse({a.status, a.etag, a.lastModified, a.contentRange,
                                            a.announced.value_or(static_cast<int64_t>(a.body.size())), {}}))
      result.kind = a.status == 304 ? TransferEnd::NotModified : TransferEnd::HttpStatus;
    else if (!a.body.empty() && !sink->write(a.body.data(), a.body.size(), &result.description))
      result.kind = TransferEnd::WriteError;
    delegate->didEnd(result);
    return true;
  }
  bool fetchResponded(const network::HttpResponse&) override { return true; }
  void fetchReceived(uint64_t) override {}
  void fetchRetrying(double) override {}
  void fetchEnded(TransferEnd how) override { outcome = how == TransferEnd::Finished ? "finished" : "not modified"; }
  void fetchFailed(const window::Message& why) override { outcome = window::english(why); }
  HostPlan fetchBeginsHost(const std::string& address) override {
    return {true, address == firstHost ? ifNoneMatch : std::nullopt};
  }
  void fetchLeftHost(const std::string& address, const window::Message& why) override {
    left.push_back(address.substr(7, 1) + ": " + window::english(why));
  }

  std::optional<std::string> ifNoneMatch;  // for the first host only
  std::string firstHost;
  Lines left;  // each host left: its letter and why

  ScratchDir dir;
  platform::EventLoop loop;
  Lines requests;
  std::string outcome;
  struct Started { network::BodySink* sink; network::HttpDownloadDelegate* delegate; long maxRedirects; };
  std::vector<Started> started;
  std::unique_ptr<ArchiveFetch> fetch;
};
}  // namespace

// The fetch's requests as the policy decides them (which failures are retried: TransferPolicy's tables): each
// row's answers are played in turn, the last repeating.
TEST(ArchiveFetch, DecidesWhatToRetryResumeRestartOrRefuse) {
  const std::string zip = "PK\x03\x04" + std::string(2 << 20, 'a');  // 2 MiB and a bit
  const uint64_t cut = 1200000, size = zip.size();
  const std::string whole = "finished", head = zip.substr(0, cut), rest = "Range: bytes=1200000- If-Range: \"e\"";
  const Answer fine{200, zip}, dropsAtCut = dropped(head, size), total = resumed(zip.substr(cut), cut, "2097156");
  auto announced = [&](int64_t length) { return Answer{.status = 200, .body = zip, .announced = length}; };
  struct Row {
    std::string name; std::vector<Answer> answers; std::string outcome; Lines requests;
    std::optional<std::string> ifNoneMatch = std::nullopt; int maxRequests = 6;
    std::vector<std::string> hosts = {"http://x/a"}; Lines left = {};
  } rows[] = {
      {"200", {fine}, whole, {""}},
      {"retries spent", {{500}}, "HTTP status 500", {"", "", ""}},
      {"dropped after progress: the rest, vouched for by the ETag", {dropsAtCut, total}, whole, {"", rest}},
      {"dropped after a few bytes: the rest all the same",
       {dropped(zip.substr(0, 6), size), resumed(zip.substr(6), 6, "2097156")}, whole, {"", "Range: bytes=6- If-Range: \"e\""}},
      {"a 200 to a request for the rest starts over",
       {dropsAtCut, Answer{.status = 200, .body = zip, .etag = "\"e\""}}, whole, {"", rest}},
      {"a 206 from elsewhere is refused", {dropsAtCut, resumed(zip.substr(cut - 1), cut - 1, "2097156")},
       "the server sent a part that does not continue the download", {"", rest}},
      {"no validator: all of it again", {dropped(head, size, std::nullopt), fine}, whole, {"", ""}},
      {"Last-Modified vouches when there is no ETag",
       {Answer{.status = 200, .body = head, .end = TransferEnd::NetworkError,
               .lastModified = "Tue, 01 Dec 2026 10:00:00 GMT", .announced = static_cast<int64_t>(size)}, total},
       whole, {"", "Range: bytes=1200000- If-Range: Tue, 01 Dec 2026 10:00:00 GMT"}},
      {"a 206 of unknown total continues to the end", {dropsAtCut, resumed(zip.substr(cut), cut, "*")}, whole,
       {"", rest}},
      {"drops without progress use up the retries, whatever is kept",
       {dropsAtCut, dropped("", size - cut, "\"e\"", "bytes 1200000-2097155/2097156")}, "the connection dropped",
       {"", rest, rest, rest}},
      {"416: the kept part is dropped", {dropsAtCut, {416}, fine}, whole, {"", rest, ""}},
      {"dropping for ever after progress: the budget ends it",
       {dropped(head, 10 * cut), dropped(head, 9 * cut, "\"e\"", "bytes 1200000-11999999/12000000")},
       "the server keeps dropping the connection", {"", rest}, std::nullopt, 2},
      {"304 to a tag sent", {{304}}, "not modified", {"If-None-Match: \"t\""}, "\"t\""},
      {"304 to no tag", {{304}}, "the server answered \"not modified\" to a request that named no cached agent", {""}},
      {"unknown length", {announced(kNoLength)}, whole, {""}},
      {"more than announced", {announced(1000)}, "the server sent more than it announced", {""}},
      {"less than announced", {announced(size + 1)}, "the server sent less than it announced", {""}},
      {"shorter than a zip header", {{200, "PK"}}, "not the installer", {""}},
      {"a login page", {{200, "<html>" + std::string(5000, ' ')}}, "not the installer", {""}},
      {"redirects are requests of the budget", {Answer{.status = 500, .redirects = 2}},
       "the server was asked 6 times without success", {"", ""}},
      {"a budget of none: no request, and a failure that says so", {fine}, "asked 0 times", {}, std::nullopt, 0},
      {"no more redirects than the budget has left", {Answer{.status = 200, .body = zip, .redirects = 6}},
       "too many redirects", {""}},
      // Several hosts: each starts from byte 0, and the budget is the whole run's.
      {"a host that takes no connection is left at once", {refused, fine}, whole, {"a:", "b:"}, std::nullopt, 6,
       {"http://a/a", "http://b/a"}, {"a: cannot connect to the server"}},
      {"503 after the host's one retry", {{503}, {503}, fine}, whole, {"a:", "a:", "b:"}, std::nullopt, 6,
       {"http://a/a", "http://b/a"}, {"a: HTTP status 503"}},
      {"a part is resumed from its own host only", {dropsAtCut, {404}, fine}, whole, {"a:", "a:" + rest, "b:"},
       std::nullopt, 6, {"http://a/a", "http://b/a"}, {"a: HTTP status 404"}},
      {"a body the archive refuses", {{200, "<html>" + std::string(5000, ' ')}, fine}, whole, {"a:", "b:"},
       std::nullopt, 6, {"http://a/a", "http://b/a"}, {"a: the server sent something that is not the installer"}},
      {"a 304 to no tag", {{304}, fine}, whole, {"a:", "b:"}, std::nullopt, 6, {"http://a/a", "http://b/a"},
       {"a: the server answered \"not modified\" to a request that named no cached agent"}},
      {"the last host gets every retry", {refused, {500}}, "HTTP status 500", {"a:", "b:", "b:", "b:"},
       std::nullopt, 6, {"http://a/a", "http://b/a"}, {"a: cannot connect to the server"}},
      {"the budget spans the hosts", {{500}}, "the servers were asked 3 times", {"a:", "a:", "b:"}, std::nullopt,
       3, {"http://a/a", "http://b/a", "http://c/a"}, {"a: HTTP status 500"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ArchiveFetch::Options options;
    options.retries = 2;
    options.retryBaseSeconds = 0.001;
    options.maxRequests = row.maxRequests;
    options.deadlineSeconds = 20;
    ScriptedFetch server(options, row.ifNoneMatch, row.hosts);
    for (size_t i = 0; server.outcome.empty(); ++i)
      if (!server.answer(i, row.answers.at(std::min(i, row.answers.size() - 1)))) break;
    EXPECT_TRUE(contains(server.outcome, row.outcome)) << server.outcome;
    EXPECT_EQ(server.requests, row.requests);
    for (std::string& line : server.left) line = line.substr(0, line.find(" ("));  // without libcurl's words
    EXPECT_EQ(server.left, row.left);
    if (row.outcome == whole) {
      EXPECT_TRUE(readFile(server.dir / "a.zip") == zip);
      EXPECT_EQ(server.fetch->archive().size(), size);
    }
  }
}

// The signature is one more request of the same budget, and so is every redirect on the way to either file.
TEST(ArchiveFetch, TheSignatureAndEveryRedirectSpendTheBudget) {
  const std::string zip = "PK\x03\x04" + std::string(100, 'a');
  struct Row { std::string name; int maxRequests; long archiveRedirects, signatureRedirects; std::string outcome; } rows[] = {
      {"both fit", 2, 0, 0, "signature: sig"},
      {"a redirect to the archive leaves none for the signature", 2, 1, 0, "asked 2 times without success"},
      {"the signature's redirects are held to what is left", 4, 1, 3, "cannot fetch the signature: too many redirects"},
      {"the signature's redirects within what is left", 6, 1, 3, "signature: sig"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ArchiveFetch::Options options;
    options.maxRequests = row.maxRequests;
    ScriptedFetch server(options);
    ASSERT_TRUE(server.answer(0, {.status = 200, .body = zip, .etag = "\"e\"", .redirects = row.archiveRedirects}));
    ASSERT_EQ(server.outcome, "finished");
    server.outcome.clear();
    server.fetch->fetchSignature([&](const std::optional<std::string>& text, const window::Message& whyNot) {
      server.outcome = text ? "signature: " + *text : window::english(whyNot);
    });
    server.answer(1, {.status = 200, .body = "sig", .etag = "\"e\"", .redirects = row.signatureRedirects});
    EXPECT_TRUE(contains(server.outcome, row.outcome)) << server.outcome;
  }
}

// The deadline runs from the first request: an archive fetched again gets what is left of it, not a new one.
TEST(ArchiveFetch, ARefetchGetsWhatIsLeftOfTheDeadline) {
  ArchiveFetch::Options options;
  options.deadlineSeconds = 2;
  ScriptedFetch server(options);
  const double start = platform::monotonicSeconds();
  platform::iterateUntil([] { return false; }, 1.2);
  ASSERT_TRUE(server.answer(0, {.status = 200, .body = "PK\x03\x04" + std::string(100, 'a')}));
  ASSERT_EQ(server.outcome, "finished");
  server.outcome.clear();
  server.fetch->startOver();
  platform::iterateUntil([&] { return !server.outcome.empty(); }, 5);
  EXPECT_TRUE(contains(server.outcome, "took longer than")) << server.outcome;
  EXPECT_LT(platform::monotonicSeconds() - start, 2.8);  // a deadline of its own would end 3.2 s after the start
  EXPECT_EQ(server.requests.size(), 2u);
}

// Where the cache lies, whatever HOME holds (unset or empty: /tmp).
TEST(AgentPaths, TheCacheIsBelowHomeElseTmp) {
  const std::string sub = installAgentCacheSubdir;
  struct Row { const char* home; std::string cache; } rows[] = {
      {nullptr, "/tmp/" + sub}, {"", "/tmp/" + sub}, {"/", "/" + sub}, {"/home/u", "/home/u/" + sub},
      {"/home/u/", "/home/u/" + sub}, {"x", "x" + sub},
  };
  for (const Row& row : rows) {
    ScopedEnv home("HOME", row.home);
    EXPECT_EQ(getInstallAgentCacheDir(), row.cache) << (row.home ? row.home : "(unset)");
  }
}

// What an unpacked archive must hold, else why not, in the words both roads print before they fail.
TEST(AgentPaths, AnUnpackedAgentHoldsItsInstallScriptElseSaysWhy) {
  const std::string none = "The install agent archive has no install script at its top level";
  using Code = ScriptCode;
  struct Row { std::string name; Tree files; Code code; std::string why; } rows[] = {
      {"a script", {{"install", "#!/bin/sh\n"}}, Code::Ok, ""},
      {"a link to a script inside", {{"install", "->bin/run"}, {"bin/run", "#!/bin/sh\n"}}, Code::Ok, ""},
      {"no install entry", {{"setup", "x"}}, Code::Missing, none},
      {"its folder zipped", {{"Agent/install", "#!/bin/sh\n"}}, Code::ZippedFolder,
       none + ", but Agent/install: the folder Agent was zipped instead of its contents"},
      {"install is a directory", {{"install/", ""}, {"install/x", "#!/bin/sh\n"}}, Code::NotRegular,
       none + " (its install is not a regular file)"},
      {"install links outside", {{"install", "->/bin/sh"}}, Code::LinksOutside,
       "The install agent archive's install links outside its folder (to /bin/sh)"},
      {"install links up and out", {{"install", "->../../../../../../../../../../../bin/sh"}}, Code::LinksOutside,
       "The install agent archive's install links outside its folder (to ../../../../../../../../../../../bin/sh)"},
      {"install links to nothing", {{"install", "->gone\x01"}}, Code::LinksToNothing,
       "The install agent archive's install links to nothing (to gone\x01)"},
  };
  for (const Row& row : rows) {
    ScratchDir agent;
    writeTree(agent.path(), row.files);
    ScriptStatus checked = checkInstallScript(agent.path());
    EXPECT_EQ(checked.code(), row.code) << row.name;
    EXPECT_EQ(checked.message(), row.why) << row.name;
  }
}

TEST(DirectoryLock, IsExclusive) {
  ScratchDir dir;
  platform::DirectoryLock first(dir.path()), second(dir.path());
  EXPECT_TRUE(first.held());
  EXPECT_FALSE(second.held());
  EXPECT_TRUE(second.busy());
}

// Which shipped archive counts, of a resource directory's entries in listing order.
TEST(ShippedArchive, TheDefaultNameElseTheFirstVersionedOne) {
  struct Row { Lines names; std::string chosen; } rows[] = {
      {{"a", "InstallAgent_2.zip", "InstallAgent.zip"}, "InstallAgent.zip"},
      {{"InstallAgent_9.zip", "InstallAgent_1.zip"}, "InstallAgent_9.zip"},
      {{"InstallAgent_.zip"}, "InstallAgent_.zip"},
      {{"installagent_1.zip", "InstallAgent_1.ZIP", "InstallAgent_1.zip.bak", "InstallAgent.zip.minisig",
        "xInstallAgent_1.zip", "InstallAgent_1zip", ".zip", "InstallAgent_"}, ""},
      {{}, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(chooseShippedArchive(row.names), row.chosen) << ::testing::PrintToString(row.names);
}

namespace {
// A file system of the test's: path -> owner and mode (S_IFLNK for a link), every entry of group kGroup.
constexpr gid_t kGroup = 4242;
std::map<std::string, std::pair<uid_t, mode_t>> tree;
int examine(const char* path, struct stat* st) {
  auto it = tree.find(path);
  if (it == tree.end()) return -1;
  *st = {};
  std::tie(st->st_uid, st->st_mode) = it->second;
  st->st_gid = kGroup;
  return 0;
}
std::optional<gid_t> ownGroup;
std::optional<gid_t> privateGroup() { return ownGroup; }
}  // namespace

// Every directory from "/" down belongs to the user or root and nobody else may write it (a group that is the
// user's alone aside); a sticky one is allowed only above a directory of the user's, never as the last, unless
// the user is to make one in it. The user u's primary group is kGroup, named `group`, with `members`, and
// also the primary group of `sharedWith`.
TEST(TrustRule, EveryDirectoryFromTheRootDownIsTheUsersOrRoots) {
  const uid_t me = geteuid(), other = me + 1000;
  const mode_t dir = S_IFDIR | 0755;
  struct Row {
    std::string name;
    std::map<std::string, std::pair<uid_t, mode_t>> changes;
    std::string why, group = "", sharedWith = "";
    Lines members = {};
    bool mayHoldPrivateDirectory = false;  // when untrusted
  } rows[] = {
      {"all private", {}, ""},
      {"root's folders above", {{"/home", {0, dir}}}, ""},
      {"sticky /tmp above a folder of ours", {{"/home", {0, S_IFDIR | 01777}}}, ""},
      {"sticky above a folder of another's", {{"/home", {0, S_IFDIR | 01777}}, {"/home/u", {other, dir}}},
       "/home is writable by others and /home/u is not yours"},
      {"sticky as the last", {{"/home/u/c", {me, S_IFDIR | 01777}}}, "/home/u/c is writable by others", "", "", {},
       true},
      {"writable by all, not sticky", {{"/home", {0, S_IFDIR | 0777}}}, "/home is writable by others"},
      {"writable by the group", {{"/home/u", {me, S_IFDIR | 0775}}}, "/home/u is writable by others"},
      {"writable by our private group", {{"/home/u", {me, S_IFDIR | 0775}}, {"/home", {0, S_IFDIR | 0775}}}, "", "u"},
      {"... which lists us", {{"/home/u/c", {me, S_IFDIR | 0770}}}, "", "u", "", {"u"}},
      {"... and others too", {{"/home/u", {me, S_IFDIR | 0775}}, {"/home/u/c", {me, S_IFDIR | 0775}}},
       "/home/u is writable by others", "u", "", {"u", "v"}},
      {"writable by our group, another's primary too", {{"/home/u", {me, S_IFDIR | 0775}}},
       "/home/u is writable by others", "u", "v"},
      {"writable by our primary group of another name", {{"/home/u", {me, S_IFDIR | 0775}}},
       "/home/u is writable by others", "users"},
      {"writable by others, our private group too", {{"/home/u", {me, S_IFDIR | 0777}}}, "/home/u is writable by others",
       "u"},
      {"owned by another", {{"/home/u/c", {other, dir}}}, "/home/u/c belongs to another user"},
      {"a link", {{"/home/u", {me, S_IFLNK | 0777}}}, "/home/u is a symbolic link"},
      {"a file", {{"/home/u/c", {me, S_IFREG | 0700}}}, "/home/u/c is not a directory"},
      {"missing", {{"/home/u/c", {me, 0}}}, "cannot examine /home/u/c"},
      {"the root writable by others", {{"/", {0, S_IFDIR | 0777}}}, "/ is writable by others"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    tree = {{"/", {0, dir}}, {"/home", {0, dir}}, {"/home/u", {me, S_IFDIR | 0700}}, {"/home/u/c", {me, S_IFDIR | 0700}}};
    for (const auto& [path, entry] : row.changes) {
      if (entry.second == 0) tree.erase(path); else tree[path] = entry;
    }
    std::vector<platform::Account> accounts = {{"root", 0}, {"u", kGroup}, {"w", kGroup + 1}};
    if (!row.sharedWith.empty()) accounts.push_back({row.sharedWith, kGroup});
    ownGroup = platform::privateGroupOf({"u", kGroup}, row.group, row.members, accounts);
    platform::TrustStatus trusted = platform::trustedDirectory("/home/u/c", examine, privateGroup);
    EXPECT_EQ(trusted.ok(), row.why.empty());
    EXPECT_EQ(trusted.message(), row.why);
    EXPECT_EQ(platform::mayHoldPrivateDirectory("/home/u/c", examine, privateGroup).ok(),
              row.why.empty() || row.mayHoldPrivateDirectory);
  }
}

// A setting only root can have made: the file open on the descriptor and every folder above it are root's and
// nobody else may write them; no sticky folder and no private group (root's own, 0, for the file) pass.
TEST(TrustRule, ASystemFileAndItsFoldersAreRootsAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the file itself must belong to root";
  const mode_t dir = S_IFDIR | 0755;
  struct Row {
    std::string name;
    std::map<std::string, std::pair<uid_t, mode_t>> changes;
    std::string why;
    mode_t fileMode = 0644;
    uid_t fileOwner = 0;
  } rows[] = {
      {"root's alone", {}, ""},
      {"a folder writable by its group", {{"/etc/v", {0, S_IFDIR | 0775}}}, "/etc/v is writable by others"},
      {"a sticky folder", {{"/etc", {0, S_IFDIR | 01777}}}, "/etc is writable by others"},
      {"a folder of another's", {{"/etc/v", {65534, dir}}}, "/etc/v does not belong to root"},
      {"a folder a link", {{"/etc/v", {0, S_IFLNK | 0777}}}, "/etc/v is a symbolic link"},
      {"a folder missing", {{"/etc/v", {0, 0}}}, "cannot examine /etc/v"},
      {"the file writable by others", {}, "/etc/v/mirrors is writable by others", 0646},
      {"the file writable by root's group", {}, "/etc/v/mirrors is writable by others", 0664},
      {"the file another's", {}, "/etc/v/mirrors does not belong to root", 0644, 65534},
  };
  ScratchDir scratch;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    tree = {{"/", {0, dir}}, {"/etc", {0, dir}}, {"/etc/v", {0, dir}}};
    for (const auto& [path, entry] : row.changes) {
      if (entry.second == 0) tree.erase(path); else tree[path] = entry;
    }
    int fd = open((scratch / "mirrors").c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_EQ(fchown(fd, row.fileOwner, 0) | fchmod(fd, row.fileMode), 0);
    platform::TrustStatus trusted = platform::trustedSystemFile(fd, "/etc/v/mirrors", examine);
    EXPECT_EQ(trusted.ok(), row.why.empty());
    EXPECT_EQ(trusted.message(), row.why);
    close(fd);
  }
  int folder = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(platform::trustedSystemFile(folder, "/etc/v/mirrors", examine).message(), "/etc/v/mirrors is not a regular file");
  close(folder);
}

// What counts in an administrator's mirror list: one base address a line, comments and blanks aside.
TEST(MirrorList, OneBaseAddressALine) {
  struct Row { std::string name, text; Lines bases, skipped; } rows[] = {
      {"an empty file", "", {}, {}},
      {"comments, blanks and empty lines", "# ours\n\n  https://a.org/  # first\n\thttp://b:8080/pub/\t\n \n#http://c/\n",
       {"https://a.org/", "http://b:8080/pub/"}, {}},
      {"CRLF line ends, the last without", "https://a/\r\n\r\nhttps://u@b:1/x/\r\nhttp://[::1]:8/",
       {"https://a/", "https://u@b:1/x/", "http://[::1]:8/"}, {}},
      {"other schemes", "ftp://a/\nfile:///etc/\nhttps:/a/\n//a/\nhttpsx://a/\n", {},
       {"ftp://a/", "file:///etc/", "https:/a/", "//a/", "httpsx://a/"}},
      {"no trailing slash", "https://a\nhttps://a/pub # x/\n", {}, {"https://a", "https://a/pub"}},
      {"no host", "https:///\nhttp://:8/\nhttps://u@/\nhttps://\n", {},
       {"https:///", "http://:8/", "https://u@/", "https://"}},
      {"blanks and control bytes inside",
       "https://a/b c/\nhttps://a/\tb/\nhttps://a\x01/\nhttps://a/\x7f/\nhttps://a\r/\n", {},
       {"https://a/b c/", "https://a/\tb/", "https://a\x01/", "https://a/\x7f/", "https://a\r/"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MirrorList list = parseMirrorList(row.text);
    EXPECT_EQ(list.bases, row.bases);
    EXPECT_EQ(list.skipped, row.skipped);
  }
}

namespace {
Lines reported;  // "!" marks a line that is not an error
void report(std::string message, bool isError) { reported.push_back((isError ? "" : "!") + message); }
}  // namespace

// The administrator's file counts only where nobody but root could have written it; no file says nothing.
TEST(MirrorList, AnOrganisationsFileCountsOnlyWhenRootsAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the file and every folder above it must belong to root";
  ScratchDir place("/run");  // root's, 0755; /tmp, writable by all, would rightly be refused
  ASSERT_EQ(chmod(place.path().c_str(), 0755), 0);
  const std::string dir = place / "velmor", file = dir + "/mirrors", ignoring = "Ignoring " + file + ": ";
  struct Row { std::string name; std::function<int()> change; Lines bases, said; } rows[] = {
      {"root's alone", [] { return 0; }, {"https://a/", "http://b/"},
       {"Skipping a line of " + file + " that is not a base address (http:// or https://, a host, ending in /): " +
        "ftp://c/"}},
      {"the file writable by all", [&] { return chmod(file.c_str(), 0666); }, {},
       {ignoring + file + " is writable by others"}},
      {"the folder another's", [&] { return chown(dir.c_str(), 65534, 0); }, {},
       {ignoring + dir + " does not belong to root"}},
      {"the file a link", [&] { return rename(file.c_str(), (dir + "/real").c_str()) | symlink("real", file.c_str()); },
       {}, {ignoring + file + " is a symbolic link"}},
      {"a FIFO, never waited on", [&] { return unlink(file.c_str()) | mkfifo(file.c_str(), 0644); }, {},
       {ignoring + file + " is not a regular file"}},
      {"larger than a list", [&] { writeFile(file, std::string(64 * 1024 + 1, '#'), 0644); return 0; }, {},
       {ignoring + "it is larger than 64 KiB"}},
      {"no file", [&] { return unlink(file.c_str()); }, {}, {}},
      {"no folder", [&] { return platform::removeItemAtPath(dir) ? 0 : -1; }, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    makeDirs(dir);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    writeFile(file, "https://a/ # ours\nftp://c/\nhttp://b/\n", 0644);
    ASSERT_EQ(row.change(), 0);
    reported.clear();
    testing::internal::CaptureStderr();  // the system log's line
    EXPECT_EQ(organisationMirrors(report, file), row.bases);
    std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reported, row.said);
    EXPECT_EQ(logged, row.bases.empty() ? "" : "Download mirrors from " + file + ": https://a/ http://b/\n");
    platform::removeItemAtPath(dir);
  }
}

// Control bytes are escaped, so a message is one line and cannot drive the terminal.
TEST(ReportErrorMain, ControlBytesAreEscaped) {
  testing::internal::CaptureStderr();
  report_error_main("a\nInstallation failed.\x1b[2J\r\t\x7f\x01 \xc3\xa9~", true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "a\\x0aInstallation failed.\\x1b[2J\\x0d\\x09\\x7f\\x01 \xc3\xa9~\n");
}
