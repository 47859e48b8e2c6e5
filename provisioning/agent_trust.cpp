#include "provisioning/agent_trust.h"

#include "platform/file_manager.h"

// Defined in the executable (provisioning/public_keys.cpp), so that a build
// with other keys needs only another copy of that one file.
extern const char* const kInstallerPublicKeys;

const PublicKeys& builtInKeys() {
  static const PublicKeys keys = parsePublicKeys(kInstallerPublicKeys);
  return keys;
}

bool readSignatureFile(const std::string& path, std::string* text, std::string* why) {
  // One byte more than a signature can be: the verification refuses it by size.
  std::optional<std::string> read = platform::readSmallFile(path, kMaxSignatureBytes + 1);
  if (!read) {
    *why = "no signature at " + path;
    return false;
  }
  *text = std::move(*read);
  return true;
}

std::string signedNameOf(const std::string& address) {
  std::string path = address.substr(0, address.find_first_of("?#"));
  size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string() : path.substr(slash);
  }
  return path.substr(path.rfind('/') + 1);
}

std::string verifyArchiveFile(int fd, const std::string& path) {
  std::string text, why;
  if (!readSignatureFile(path + ".minisig", &text, &why)) return why;
  if (!builtInKeys().error.empty()) return "the installer's public keys are broken: " + builtInKeys().error;
  FileDigest digest = hashOpenFile(fd, path);
  if (!digest.error.empty()) return digest.error;
  std::string name = path.substr(path.rfind('/') + 1);
  Verification v = verifyAgentSignature(text, digest.digest, builtInKeys().keys, name);
  return v.ok ? std::string() : v.reason;
}
