#include "platform/download_file.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace platform {

namespace {
constexpr size_t kBufferSize = 256 * 1024;

bool writeAll(int fd, const char* data, size_t length, int* error) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

DownloadFile::~DownloadFile() { discard(); }

bool DownloadFile::create(const std::string& destination, std::string* error, uint64_t resumeFrom) {
  discard();
  destination_ = destination;
  // Same directory, so the final rename is atomic; mode 0666 less the
  // umask, like any file the user creates.
  std::string tmpl = destination + ".partXXXXXX";
  fd_ = g_mkstemp_full(tmpl.data(), O_RDWR | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    *error = "cannot create a file beside " + destination + ": " + std::strerror(errno);
    return false;
  }
  tempPath_ = tmpl;
  buffer_.reserve(kBufferSize);
  written_ = 0;
  errno_ = 0;
  if (resumeFrom > 0 && !takeOverPartial(resumeFrom, error)) {
    discard();
    return false;
  }
  return true;
}

// The partial is opened before it is renamed onto the temporary name, so
// the descriptor is sure to be that very file.
bool DownloadFile::takeOverPartial(uint64_t size, std::string* error) {
  int fd = open(destination_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    errno_ = errno;
  } else if (static_cast<uint64_t>(st.st_size) < size) {
    errno_ = EINVAL;
  } else if (rename(destination_.c_str(), tempPath_.c_str()) != 0 ||
             ftruncate(fd, static_cast<off_t>(size)) != 0) {  // bytes past `size` are not vouched for
    errno_ = errno;
  }
  if (errno_ != 0) {
    if (fd >= 0) close(fd);
    *error = "cannot resume " + destination_ + " at byte " + std::to_string(size) + ": " +
             (errno_ == EINVAL ? "it is shorter" : std::strerror(errno_));
    return false;
  }
  close(fd_);
  fd_ = fd;
  written_ = size;
  return true;
}

bool DownloadFile::restart() {
  buffer_.clear();
  written_ = 0;
  if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) {
    errno_ = errno;
    return false;
  }
  return true;
}

bool DownloadFile::append(const char* data, size_t length) {
  if (buffer_.size() + length > kBufferSize && !flush()) return false;
  if (length < kBufferSize) {
    buffer_.insert(buffer_.end(), data, data + length);
  } else if (!writeAll(fd_, data, length, &errno_)) {  // a chunk as big as the buffer skips the copy
    return false;
  }
  written_ += length;
  return true;
}

bool DownloadFile::flush() {
  bool ok = writeAll(fd_, buffer_.data(), buffer_.size(), &errno_);
  buffer_.clear();
  return ok;
}

bool DownloadFile::commit(std::string* error) {
  bool ok = flush();
  if (close(fd_) != 0 && ok) {
    ok = false;
    errno_ = errno;
  }
  fd_ = -1;
  if (!ok) {
    *error = "cannot write " + destination_ + ": " + std::strerror(errno_);
    return false;
  }
  if (rename(tempPath_.c_str(), destination_.c_str()) != 0) {
    *error = "cannot move the download to " + destination_ + ": " + std::strerror(errno);
    return false;
  }
  tempPath_.clear();
  return true;
}

void DownloadFile::keepPartial() {
  if (fd_ < 0) return;
  flush();
  close(fd_);
  fd_ = -1;
  // An empty file would only clobber whatever was there before.
  if (written_ > 0 && rename(tempPath_.c_str(), destination_.c_str()) == 0) tempPath_.clear();
  discard();
}

void DownloadFile::discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  buffer_.clear();
  if (!tempPath_.empty()) unlink(tempPath_.c_str());
  tempPath_.clear();
}

}  // namespace platform
