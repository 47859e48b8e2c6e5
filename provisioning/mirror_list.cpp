#include "provisioning/mirror_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/system_log.h"
#include "platform/trust_rule.h"
#include "provisioning/build_constants.h"

namespace {

// A list of addresses is small; a larger file is not one an administrator wrote.
constexpr size_t kMaxFileBytes = 64 * 1024;

const char kBlanks[] = " \t\r";

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool isBaseAddress(const std::string& text) {
  for (unsigned char c : text)
    if (c <= 0x20 || c == 0x7f) return false;
  std::string rest;
  for (const char* scheme : {"http://", "https://"})
    if (text.compare(0, std::strlen(scheme), scheme) == 0) rest = text.substr(std::strlen(scheme));
  if (rest.empty() || rest.back() != '/') return false;
  std::string authority = rest.substr(0, rest.find('/'));
  authority.erase(0, authority.rfind('@') + 1);  // user information is not a host
  return !authority.empty() && authority[0] != ':';
}

MirrorList parseMirrorList(const std::string& text) {
  MirrorList list;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    line = trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    (isBaseAddress(line) ? list.bases : list.skipped).push_back(line);
  }
  return list;
}

std::string organisationMirrorsPath() {
  std::string folder = cacheFolderName;
  if (!folder.empty() && folder[0] == '.') folder.erase(0, 1);
  return "/etc/" + folder + "/mirrors";
}

std::vector<std::string> organisationMirrors(ErrorCallback callback, const std::string& path) {
  const std::string ignoring = "Ignoring " + path + ": ";
  // Not through a link, and without waiting on a FIFO planted in its place.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return {};  // no list: the usual case
    std::string why = std::string("cannot open it (") + std::strerror(errno) + ")";
    callback(ignoring + (errno == ELOOP ? path + " is a symbolic link" : why), true);
    return {};
  }
  if (platform::TrustStatus trusted = platform::trustedSystemFile(fd, path); !trusted) {
    callback(ignoring + trusted.message(), true);
    close(fd);
    return {};
  }
  std::string text;
  char buffer[8192];
  ssize_t got;
  while (text.size() <= kMaxFileBytes && (got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      callback(ignoring + "cannot read it (" + std::strerror(errno) + ")", true);
      close(fd);
      return {};
    }
    text.append(buffer, got);
  }
  close(fd);
  if (text.size() > kMaxFileBytes) {
    callback(ignoring + "it is larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB", true);
    return {};
  }
  MirrorList list = parseMirrorList(text);
  const std::string skipping =
      "Skipping a line of " + path + " that is not a base address (http:// or https://, a host, ending in /): ";
  for (const std::string& line : list.skipped) callback(skipping + line, true);
  if (!list.bases.empty()) {
    std::string added;
    for (const std::string& base : list.bases) added += " " + base;
    platform::systemLog("Download mirrors from " + path + ":" + added);
  }
  return list.bases;
}
