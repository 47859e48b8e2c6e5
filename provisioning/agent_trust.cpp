#include "provisioning/agent_trust.h"

#include <sys/stat.h>

#include <ctime>
#include <optional>
#include <tuple>
#include <vector>

#include "platform/file_manager.h"

// Defined in the executable (provisioning/public_keys.cpp), so that a build
// with other keys and floor needs only another copy of that one file.
extern const char* const kInstallerPublicKeys;
extern const long long kInstallerMinAgentTimestamp;

const PublicKeys& builtInKeys() {
  static const PublicKeys keys = parsePublicKeys(kInstallerPublicKeys);
  return keys;
}

namespace {

using FileStamp = std::tuple<dev_t, ino_t, off_t, long, long, long, long>;

std::optional<FileStamp> stampOf(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return std::nullopt;
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                   st.st_ctim.tv_nsec};
}

std::vector<std::pair<FileStamp, Blake2bDigest>>& writtenFiles() {
  static std::vector<std::pair<FileStamp, Blake2bDigest>> files;
  return files;
}

FileDigest digestOf(int fd, const std::string& path) {
  if (std::optional<FileStamp> stamp = stampOf(fd))
    for (const auto& [written, digest] : writtenFiles())
      if (written == *stamp) return {digest, std::string()};
  return hashOpenFile(fd, path);
}

}  // namespace

void noteWrittenFile(int fd, const Blake2bDigest& digest) {
  if (std::optional<FileStamp> stamp = stampOf(fd)) writtenFiles().emplace_back(*stamp, digest);
}

std::string signedDate(int64_t timestamp) {
  time_t seconds = static_cast<time_t>(timestamp);
  struct tm utc;
  char text[32];
  if (!gmtime_r(&seconds, &utc) || !std::strftime(text, sizeof text, "%Y-%m-%d", &utc)) return std::to_string(timestamp);
  return text;
}

AgentFloor buildFloor() { return {kInstallerMinAgentTimestamp, 0}; }

std::string admitAgent(std::string_view signature, const Blake2bDigest& digest, const std::string& expectedFile,
                       const AgentFloor& floor, const PublicKeys& keys) {
  if (keys.keys.empty() && keys.error.empty()) return std::string();  // a build without keys
  if (!keys.error.empty()) return "the installer's public keys are broken: " + keys.error;
  Verification v = verifyAgentSignature(signature, digest, keys.keys, expectedFile);
  if (!v.ok) return v.reason;
  if (v.facts.timestamp < floor.build)
    return "bad signature: signed earlier than the oldest agent this installer accepts";
  // Not a bad signature: a good one, for an agent older than the user has.
  if (v.facts.timestamp < floor.kept)
    return "the server offers an older agent (signed " + signedDate(v.facts.timestamp) +
           ") than the one installed (signed " + signedDate(floor.kept) + ")";
  return std::string();
}

int64_t keptFloorOf(std::string_view signature, const std::string& expectedFile, const PublicKeys& keys) {
  Verification v = verifySignedFacts(signature, keys.keys, expectedFile);
  return v.ok ? v.facts.timestamp : 0;
}

std::string admitShippedArchive(int fd, const std::string& path, const std::string& name) {
  if (!signaturesRequired()) return std::string();
  // One byte more than a signature can be: the gate refuses it by its size.
  std::optional<std::string> signature = platform::readSmallFile(path + ".minisig", kMaxSignatureBytes + 1);
  if (!signature) return "no signature at " + path + ".minisig";
  FileDigest digest = digestOf(fd, path);
  if (!digest.error.empty()) return digest.error;
  return admitAgent(*signature, digest.digest, name, buildFloor());
}
