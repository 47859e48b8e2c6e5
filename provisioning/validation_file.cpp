#include "provisioning/validation_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "provisioning/build_constants.h"

namespace {
std::string validationPath(const std::string& directory) {
  return directory + pathSeparator + validationFileName;
}
}  // namespace

bool isCacheValid(std::string directory, std::string tag) {
  if (!directory.empty() && tag.empty()) return false;
  // Never through a link, and never waiting: a FIFO planted here would
  // otherwise block the open until someone writes to it.
  int fd = open(validationPath(directory).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  // Read no more than one byte past the tag: a longer first line cannot match.
  std::string line;
  char c;
  while (regular && line.size() <= tag.size()) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1 || c == '\n') break;
    line += c;
  }
  close(fd);
  return regular && line == tag;
}

void writeValidationString(std::string directory, std::string tag) {
  if (directory.empty() || tag.empty()) return;
  // A new file renamed into place: whatever stood at the name (a link, a
  // FIFO) is replaced, never written through.
  std::string target = validationPath(directory);
  std::string temporary = target + ".XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
  if (fd < 0) return;
  size_t done = 0;
  while (done < tag.size()) {
    ssize_t n = write(fd, tag.data() + done, tag.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = close(fd) == 0 && done == tag.size();
  if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) unlink(temporary.c_str());
}

void removeValidationString(std::string directory) {
  std::remove(validationPath(directory).c_str());
}
