#include <unistd.h>

#include <algorithm>
#include <ctime>

#include <gtest/gtest.h>

#include "provisioning/agent_signature.h"
#include "test_util.h"

using namespace testing_util;

namespace {

// A key pair made by the real minisign; returns the public key's base64 line.
std::string makeKey(const ScratchDir& dir, const std::string& name) {
  EXPECT_EQ(runProcess({"minisign", "-G", "-f", "-W", "-p", dir / (name + ".pub"), "-s", dir / (name + ".key")})
                .exitStatus, 0) << name;
  std::vector<std::string> pub = lines(readFile(dir / (name + ".pub")));
  return pub.size() == 2 ? pub[1] : "";
}

std::string sign(const ScratchDir& dir, const std::string& key, std::vector<std::string> options = {}) {
  static int count = 0;
  std::string out = dir / ("sig" + std::to_string(++count));
  std::vector<std::string> argv = {"minisign", "-S", "-s", dir / (key + ".key"), "-m", dir / "agent.zip", "-x", out};
  argv.insert(argv.end(), options.begin(), options.end());
  EXPECT_EQ(runProcess(argv).exitStatus, 0) << key;
  return readFile(out);
}

std::string hex(const Blake2bDigest& d) {
  std::string out;
  for (uint8_t b : d) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
  return out;
}

}  // namespace

TEST(AgentSignature, AcceptsOnlyAnIntactPrehashedSignatureNamingTheArchive) {
  ScratchDir dir;
  std::string content(300000, 'z');
  writeFile(dir / "agent.zip", content);
  content[123456] ^= 1;
  writeFile(dir / "flipped.zip", content);
  Blake2bDigest archive = hashFile(dir / "agent.zip").digest, flipped = hashFile(dir / "flipped.zip").digest;
  PublicKeys trusted = parsePublicKeys(makeKey(dir, "old") + " ; " + makeKey(dir, "new"));
  ASSERT_EQ(trusted.error, "");
  makeKey(dir, "stranger");

  int64_t before = std::time(nullptr);
  std::string good = sign(dir, "old");
  std::string crlf;
  for (char c : good.substr(0, good.size() - 1)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string edited = good;
  edited[edited.find("timestamp:") + 10] ^= 1;
  struct Row { const char* name; std::string minisig; Blake2bDigest digest; const char* refusal; };
  const Row rows[] = {
      {"first key", good, archive, nullptr},
      {"second key, after a rotation", sign(dir, "new"), archive, nullptr},
      {"crlf lines, no final newline", crlf, archive, nullptr},
      {"a byte flipped in the archive", good, flipped, "the archive does not match its signature"},
      {"a key not trusted", sign(dir, "stranger"), archive, "signed by an unknown key"},
      {"legacy format", sign(dir, "old", {"-l"}), archive, "legacy signature"},
      {"another file", sign(dir, "old", {"-t", "timestamp:1\tfile:other.zip"}), archive,
       "signed for \"other.zip\", not \"agent.zip\""},
      {"file named twice", sign(dir, "old", {"-t", "timestamp:1\tfile:x\tfile:agent.zip"}), archive, "repeats a field"},
      {"no timestamp", sign(dir, "old", {"-t", "file:agent.zip"}), archive, "no valid timestamp"},
      {"trusted comment edited", edited, archive, "the trusted comment was altered"},
      {"cut after three lines", good.substr(0, good.rfind('\n', good.size() - 2) + 1), archive, "malformed"},
      {"cut inside the last line", good.substr(0, good.size() - 5), archive, "malformed"},
      {"empty", "", archive, "malformed"},
      {"an html page", "<!DOCTYPE html>\n<html><body>Not Found</body></html>\n", archive, "malformed"},
      {"huge", good + std::string(9000, '\n'), archive, "too large"},
  };
  int64_t after = std::time(nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Verification v = verifyAgentSignature(row.minisig, row.digest, trusted.keys, "agent.zip");
    if (!row.refusal) {
      EXPECT_TRUE(v.ok) << v.reason;
      EXPECT_EQ(v.facts.file, "agent.zip");
      EXPECT_GE(v.facts.timestamp, before);
      EXPECT_LE(v.facts.timestamp, after);
    } else {
      EXPECT_FALSE(v.ok);
      EXPECT_EQ(v.reason.rfind("bad signature: ", 0), 0u) << v.reason;
      EXPECT_NE(v.reason.find(row.refusal), std::string::npos) << v.reason;
    }
  }
}

TEST(AgentSignature, PublicKeyLists) {
  ScratchDir dir;
  std::string a = makeKey(dir, "a"), b = makeKey(dir, "b");  // "RX...": 42 bytes, but not an "Ed" key
  struct Row { std::string list; size_t keys; const char* error; };
  for (const Row& row : {Row{"", 0, ""}, Row{" ; ;\t", 0, ""}, Row{a, 1, ""},
                         Row{" " + a + " ;; " + b + " ;", 2, ""}, Row{a + ";RX" + a.substr(2), 0, "public key 2 "},
                         Row{a.substr(0, a.size() - 1), 0, "public key 1 "}, Row{a + b, 0, "public key 1 "},
                         Row{"RWQ=", 0, "public key 1 "}}) {
    SCOPED_TRACE("list: " + row.list);
    PublicKeys parsed = parsePublicKeys(row.list);
    EXPECT_EQ(parsed.keys.size(), row.keys);
    EXPECT_EQ(parsed.error.rfind(row.error, 0), 0u) << parsed.error;
    EXPECT_EQ(parsed.error.empty(), *row.error == '\0');
  }
}

TEST(Blake2b512, ChunkingResetAndFilesGiveTheSameDigest) {
  const std::string abc = "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                          "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923";
  Blake2b512 h;
  h.update("a", 1);
  h.finish();  // does not end the stream
  h.update("bc", 2);
  EXPECT_EQ(hex(h.finish()), abc);

  std::string data(700001, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7919 >> 3);
  Blake2b512 whole, pieces;
  whole.update(data.data(), data.size());
  pieces.update("leftover from a broken transfer", 31);
  pieces.reset();
  for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 65537 + 1)
    pieces.update(data.data() + at, std::min(step, data.size() - at));
  EXPECT_EQ(pieces.finish(), whole.finish());
  Blake2b512 copy = whole;  // a copy goes on by itself
  copy.update("x", 1);
  EXPECT_NE(copy.finish(), whole.finish());

  ScratchDir dir;
  writeFile(dir / "f", data);
  FileDigest file = hashFile(dir / "f");
  EXPECT_EQ(file.error, "");
  EXPECT_EQ(file.digest, whole.finish());
  ASSERT_EQ(symlink((dir / "f").c_str(), (dir / "link").c_str()), 0);
  EXPECT_NE(hashFile(dir / "link").error, "");
  EXPECT_NE(hashFile(dir / "missing").error, "");
}
