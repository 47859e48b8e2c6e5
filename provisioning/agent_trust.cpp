#include "provisioning/agent_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Defined in the executable (provisioning/public_keys.cpp), so that a build
// with other keys needs only another copy of that one file.
extern const char* const kInstallerPublicKeys;

namespace {
constexpr size_t kMaxSignatureBytes = 8 * 1024;
}

const PublicKeys& builtInKeys() {
  static const PublicKeys keys = parsePublicKeys(kInstallerPublicKeys);
  return keys;
}

bool readSignatureFile(const std::string& path, std::string* text, std::string* why) {
  // O_NONBLOCK: a FIFO planted in its place must not hang the run.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "no signature at " + path + (fd < 0 ? std::string(": ") + std::strerror(errno) : "");
    if (fd >= 0) close(fd);
    return false;
  }
  text->clear();
  char buffer[4096];
  ssize_t n;
  while (text->size() <= kMaxSignatureBytes && (n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = "cannot read " + path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;  // an oversized text is refused by the verification, with its reason
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

std::string verifyArchiveFile(const std::string& path) {
  std::string text, why;
  if (!readSignatureFile(path + ".minisig", &text, &why)) return why;
  if (!builtInKeys().error.empty()) return "the installer's public keys are broken: " + builtInKeys().error;
  FileDigest digest = hashFile(path);
  if (!digest.error.empty()) return digest.error;
  std::string name = path.substr(path.rfind('/') + 1);
  Verification v = verifyAgentSignature(text, digest.digest, builtInKeys().keys, name);
  return v.ok ? std::string() : v.reason;
}
