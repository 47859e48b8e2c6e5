#include "download/archive_in_transit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/file_manager.h"
#include "platform/transfer_text.h"

namespace {

// Every zip archive starts with a local file header: a login page or an
// error page served as 200 fails at its first bytes, not after all of it.
const std::string kZipMagic = "PK\x03\x04";
// What arrives is written in pieces of this size rather than as libcurl
// hands it over (16 kB at a time): the page cache then holds the archive in
// large folios, which about halves what writing it costs and what removing
// it does, at the end of the run. Larger pieces no longer sit in the CPU's
// cache when they are copied, which costs more than it saves on a busy
// machine.
constexpr size_t kWriteSize = 256 << 10;

const char kNotAnArchive[] =
    "the server sent something that is not the installer (an HTML page from a captive portal or a proxy login?)";

// "bytes 100-199/1000" -> first byte and total ("*" gives -1); nothing when malformed.
bool parseContentRange(const std::string& value, uint64_t* first, int64_t* total) {
  if (value.compare(0, 6, "bytes ") != 0) return false;
  const char* p = value.c_str() + 6;
  char* end = nullptr;
  errno = 0;
  *first = std::strtoull(p, &end, 10);
  if (end == p || *end != '-' || errno) return false;
  const char* slash = std::strchr(end, '/');
  if (!slash) return false;
  if (std::strcmp(slash + 1, "*") == 0) {
    *total = -1;
    return true;
  }
  long long t = std::strtoll(slash + 1, &end, 10);
  if (end == slash + 1 || *end || errno || t < 0) return false;
  *total = t;
  return true;
}

std::string noSpace(uint64_t needed, uint64_t free) {
  return "not enough disk space: " + platform::formatByteCount(static_cast<int64_t>(needed)) + " needed, " +
         platform::formatByteCount(static_cast<int64_t>(free)) + " free";
}

}  // namespace

ArchiveInTransit::ArchiveInTransit(std::string path, bool hash, uint64_t maxBytes)
    : path_(std::move(path)), hashing_(hash), maxBytes_(maxBytes) {
  unlink(path_.c_str());  // a link planted there is replaced, never followed
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  created_ = fd_ >= 0;
  if (fd_ < 0) openError_ = errno;
}

ArchiveInTransit::~ArchiveInTransit() {
  if (fd_ >= 0) close(fd_);
  if (created_ && !kept_) unlink(path_.c_str());  // also after a failed restart closed it
}

bool ArchiveInTransit::refuse(std::string reason, std::string* why) {
  // What arrived is not vouched for any more: it is never resumed.
  restart();
  *why = std::move(reason);
  return false;
}

void ArchiveInTransit::restart() {
  // Only a file that holds something is truncated: on ext4 a truncation to
  // zero marks the file as replaced in place, and the next close of any
  // descriptor of it (unzip's, of /dev/fd/3) then flushes the whole archive
  // to disk, a tenth of the download road for a file about to be removed.
  struct stat st;
  bool empty = fd_ >= 0 && fstat(fd_, &st) == 0 && st.st_size == 0;
  if (fd_ >= 0 && !empty && ftruncate(fd_, 0) != 0) {
    // Cannot empty it: it will not be written again either.
    close(fd_);
    fd_ = -1;
    openError_ = errno;
  }
  size_ = 0;
  pending_.clear();
  total_ = -1;
  hash_.reset();
  head_.clear();
  validator_.clear();
}

bool ArchiveInTransit::begin(const platform::HttpResponse& response, bool continues, std::string* why) {
  if (fd_ < 0) return refuse("cannot create " + path_ + ": " + std::strerror(openError_), why);
  int64_t length = response.expectedContentLength;
  if (continues) {
    uint64_t first = 0;
    int64_t total = -1;
    if (!parseContentRange(response.contentRange.value_or(""), &first, &total) || first != size_ ||
        (total >= 0 && total_ >= 0 && total != total_) || (total >= 0 && length >= 0 && first + length != static_cast<uint64_t>(total)))
      return refuse("the server sent a part that does not continue the download", why);
    total_ = total >= 0 ? total : length >= 0 ? static_cast<int64_t>(size_) + length : -1;
  } else {
    restart();
    validator_ = response.etag ? *response.etag : response.lastModified.value_or(std::string());
    total_ = length;
  }
  if (total_ >= 0 && static_cast<uint64_t>(total_) > maxBytes_)
    return refuse("the download is larger than this installer accepts (" +
                      platform::formatByteCount(total_) + ")", why);
  std::optional<uint64_t> free = platform::freeBytesAt(path_);
  roomLeft_ = free.value_or(UINT64_MAX);
  begunAt_ = size_;
  if (total_ >= 0 && static_cast<uint64_t>(total_) - size_ > roomLeft_)
    return refuse(noSpace(static_cast<uint64_t>(total_) - size_, roomLeft_), why);
  return true;
}

bool ArchiveInTransit::write(const char* data, size_t length, std::string* why) {
  uint64_t after = size_ + length;
  if (total_ >= 0 && after > static_cast<uint64_t>(total_)) return refuse("the server sent more than it announced", why);
  if (after > maxBytes_)
    return refuse("the download is larger than this installer accepts (more than " +
                      platform::formatByteCount(static_cast<int64_t>(maxBytes_)) + ")", why);
  if (total_ < 0 && after - begunAt_ > roomLeft_) return refuse(noSpace(after - begunAt_, roomLeft_), why);
  if (head_.size() < kZipMagic.size()) {
    head_.append(data, std::min(length, kZipMagic.size() - head_.size()));
    if (kZipMagic.compare(0, head_.size(), head_) != 0) return refuse(kNotAnArchive, why);
  }
  if (pending_.capacity() < kWriteSize) pending_.reserve(kWriteSize + length);
  pending_.append(data, length);
  if (hashing_) hash_.update(data, length);
  size_ = after;
  return pending_.size() < kWriteSize || writePending(kWriteSize, why);
}

bool ArchiveInTransit::writePending(size_t count, std::string* why) {
  uint64_t at = size_ - pending_.size();
  for (size_t done = 0; done < count;) {
    ssize_t n = pwrite(fd_, pending_.data() + done, count - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return refuse("cannot write " + path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC), why);
    done += static_cast<size_t>(n);
  }
  pending_.erase(0, count);
  return true;
}

bool ArchiveInTransit::complete(std::string* why) {
  if (head_ != kZipMagic) return refuse(kNotAnArchive, why);
  if (!writePending(pending_.size(), why)) return false;
  if (total_ >= 0 && size_ != static_cast<uint64_t>(total_))
    return refuse("the server sent less than it announced", why);
  return true;
}

bool ArchiveInTransit::resumable() const {
  return size_ > 0 && !validator_.empty() && (total_ < 0 || size_ < static_cast<uint64_t>(total_));
}
