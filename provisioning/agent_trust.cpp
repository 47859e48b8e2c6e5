#include "provisioning/agent_trust.h"

#include <sys/stat.h>

#include <ctime>

#include "platform/file_manager.h"

// Defined in the executable (provisioning/public_keys.cpp), so that a build
// with other keys and floor needs only another copy of that one file.
extern const char* const kInstallerPublicKeys;
extern const long long kInstallerMinAgentTimestamp;

const PublicKeys& builtInKeys() {
  static const PublicKeys keys = parsePublicKeys(kInstallerPublicKeys);
  return keys;
}

FileStamp stampOf(const struct stat& st) {
  return FileStamp{st.st_dev, st.st_ino, st.st_size,
                   {st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec}};
}

std::optional<FileStamp> stampOf(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return std::nullopt;
  return stampOf(st);
}

std::string signedDate(int64_t timestamp) {
  time_t seconds = static_cast<time_t>(timestamp);
  struct tm utc;
  char text[32];
  if (!gmtime_r(&seconds, &utc) || !std::strftime(text, sizeof text, "%Y-%m-%d", &utc)) return std::to_string(timestamp);
  return text;
}

AgentFloor buildFloor() { return {kInstallerMinAgentTimestamp, 0}; }

GateStatus admitAgent(std::string_view signature, const Blake2bDigest& digest, const std::string& expectedFile,
                      const AgentFloor& floor, const PublicKeys& keys) {
  if (keys.keys.empty() && keys.error.empty()) return {};  // a build without keys
  if (!keys.error.empty()) return {GateCode::KeysBroken, "the installer's public keys are broken: " + keys.error};
  Verification v = verifyAgentSignature(signature, digest, keys.keys, expectedFile);
  if (!v) return v.status();
  if (v->timestamp < floor.build)
    return {GateCode::BelowBuildFloor,
            std::string(kBadSignature) + ": signed earlier than the oldest agent this installer accepts"};
  // Not a bad signature: a good one, for an agent older than the user has.
  if (v->timestamp < floor.kept)
    return {GateCode::OlderThanInstalled, "the server offers an older agent (signed " + signedDate(v->timestamp) +
                                              ") than the one installed (signed " + signedDate(floor.kept) + ")"};
  return {};
}

int64_t keptFloorOf(std::string_view signature, const std::string& expectedFile, const PublicKeys& keys) {
  Verification v = verifySignedFacts(signature, keys.keys, expectedFile);
  return v ? v->timestamp : 0;
}

GateStatus admitShippedArchive(int fd, const std::string& path, const std::string& name,
                               const WrittenFiles& written) {
  if (!signaturesRequired()) return {};
  // One byte more than a signature can be: the gate refuses it by its size.
  std::optional<std::string> signature = platform::readSmallFile(path + ".minisig", kMaxSignatureBytes + 1);
  if (!signature) return {GateCode::NoSignature, "no signature at " + path + ".minisig"};
  std::optional<FileStamp> stamp = stampOf(fd);
  for (const WrittenFile& file : written)
    if (stamp && *stamp == file.stamp) return admitAgent(*signature, file.digest, name, buildFloor());
  platform::Result<Blake2bDigest, GateCode> digest = hashOpenFile(fd, path);
  if (!digest) return digest.status();
  return admitAgent(*signature, *digest, name, buildFloor());
}
