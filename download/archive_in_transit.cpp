#include "download/archive_in_transit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/file_manager.h"
#include "platform/quantities.h"

namespace {

// Every zip archive starts with a local file header: a login page or an
// error page served as 200 fails at its first bytes, not after all of it.
const std::string kZipMagic = "PK\x03\x04";
// In a build with keys what arrives is hashed and written by a thread of
// its own, while the main loop receives what follows: on a fast link
// receiving and hashing each take a good part of a CPU. It is written in
// pieces of this size rather than as libcurl hands it over (16 kB at a
// time): the page cache then holds the archive in large folios, which
// about halves what writing it costs and what removing it does at the end
// of the run. Larger pieces have left the CPU's cache by the time they are
// copied, which costs more than it saves on a busy machine.
constexpr size_t kWriteSize = 256 << 10;
constexpr size_t kMostWaiting = 4;

const window::Message kNotAnArchive{window::Message::Id::NotTheInstaller};

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

window::Message noSpace(uint64_t needed, uint64_t free) {
  return {window::Message::Id::NoDiskSpace, {static_cast<int64_t>(needed), static_cast<int64_t>(free)}};
}

window::Message text(std::string words) { return window::Message::text(std::move(words)); }

}  // namespace

ArchiveInTransit::ArchiveInTransit(std::string path, bool hash, uint64_t maxBytes)
    : path_(std::move(path)), hashing_(hash), maxBytes_(maxBytes) {
  unlink(path_.c_str());  // a link planted there is replaced, never followed
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  created_ = fd_ >= 0;
  if (fd_ < 0) openError_ = errno;
}

ArchiveInTransit::~ArchiveInTransit() {
  if (writer_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cond_.notify_all();
    writer_.join();
  }
  if (fd_ >= 0) close(fd_);
  if (created_) unlink(path_.c_str());  // also after a failed restart closed it
}

bool ArchiveInTransit::refuse(window::Message reason, std::string* why, bool local) {
  // What arrived is not vouched for any more: it is never resumed.
  restart();
  if (why) *why = window::english(reason);
  refusal_ = std::move(reason);
  localFault_ = local;
  return false;
}

void ArchiveInTransit::restart() {
  settle();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writeError_ = 0;
  }
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

bool ArchiveInTransit::begin(const network::HttpResponse& response, bool continues) {
  refusal_ = {};
  if (fd_ < 0) return refuse(text("cannot create " + path_ + ": " + std::strerror(openError_)), nullptr, true);
  int64_t length = response.expectedContentLength;
  if (continues) {
    uint64_t first = 0;
    int64_t total = -1;
    if (!parseContentRange(response.contentRange.value_or(""), &first, &total) || first != size_ ||
        (total >= 0 && total_ >= 0 && total != total_) || (total >= 0 && length >= 0 && first + length != static_cast<uint64_t>(total)))
      return refuse(text("the server sent a part that does not continue the download"));
    total_ = total >= 0 ? total : length >= 0 ? static_cast<int64_t>(size_) + length : -1;
  } else {
    restart();
    validator_ = response.etag ? *response.etag : response.lastModified.value_or(std::string());
    total_ = length;
  }
  if (total_ >= 0 && static_cast<uint64_t>(total_) > maxBytes_)
    return refuse(text("the download is larger than this installer accepts (" +
                      platform::formatByteCount(total_) + ")"));
  std::optional<uint64_t> free = platform::freeBytesAt(path_);
  roomLeft_ = free.value_or(UINT64_MAX);
  begunAt_ = size_;
  if (total_ >= 0 && static_cast<uint64_t>(total_) - size_ > roomLeft_)
    return refuse(noSpace(static_cast<uint64_t>(total_) - size_, roomLeft_));
  return true;
}

bool ArchiveInTransit::write(const char* data, size_t length, std::string* why) {
  uint64_t after = size_ + length;
  if (total_ >= 0 && after > static_cast<uint64_t>(total_)) return refuse(text("the server sent more than it announced"), why);
  if (after > maxBytes_)
    return refuse(text("the download is larger than this installer accepts (more than " +
                      platform::formatByteCount(static_cast<int64_t>(maxBytes_)) + ")"), why);
  if (total_ < 0 && after - begunAt_ > roomLeft_) return refuse(noSpace(after - begunAt_, roomLeft_), why);
  if (head_.size() < kZipMagic.size()) {
    head_.append(data, std::min(length, kZipMagic.size() - head_.size()));
    if (kZipMagic.compare(0, head_.size(), head_) != 0) return refuse(kNotAnArchive, why);
  }
  if (pending_.capacity() < kWriteSize) pending_.reserve(kWriteSize + length);
  pending_.append(data, length);
  size_ = after;
  if (pending_.size() >= kWriteSize) handOver(kWriteSize);
  return noWriteError(why);
}

// Hands the first `count` bytes of pending_ to the writer, which hashes and
// writes them after those handed over before, and keeps the rest.
void ArchiveInTransit::handOver(size_t count) {
  uint64_t at = size_ - pending_.size();
  Piece piece{std::move(pending_), at};
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // At most a few pieces wait: the download goes no faster than the disk.
    cond_.wait(lock, [this] { return queue_.size() < kMostWaiting; });
    if (!spare_.empty()) {
      pending_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  pending_.assign(piece.data, count, std::string::npos);
  piece.data.resize(count);
  // Without a hash the main thread writes each piece itself, while it is
  // still in its CPU's cache: handed to another CPU, the copy into the page
  // cache cost more than the thread saved.
  if (hashing_ && !writer_.joinable() && !writerFailed_) {
    try {
      writer_ = std::thread(&ArchiveInTransit::writeAll, this);
    } catch (const std::system_error&) {
      writerFailed_ = true;
    }
  }
  if (!writer_.joinable()) return store(piece);  // right here, then
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(piece));
  }
  cond_.notify_all();
}

void ArchiveInTransit::writeAll() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cond_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    if (queue_.empty()) return;
    Piece piece = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    lock.unlock();
    store(piece);
    lock.lock();
    writing_ = false;
    cond_.notify_all();
  }
}

// In the writer, or in the main thread when there is none: only one of
// them ever runs this, and nothing else touches hash_ or the file meanwhile.
void ArchiveInTransit::store(Piece& piece) {
  if (hashing_) hash_.update(piece.data.data(), piece.data.size());
  int error = 0;
  for (size_t done = 0; done < piece.data.size() && !error;) {
    ssize_t n = pwrite(fd_, piece.data.data() + done, piece.data.size() - done, static_cast<off_t>(piece.at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = n < 0 ? errno : ENOSPC;
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  piece.data.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!writeError_) writeError_ = error;
  if (spare_.size() < kMostWaiting) spare_.push_back(std::move(piece.data));
}

// Waits until everything handed over is hashed and written.
void ArchiveInTransit::settle() {
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

bool ArchiveInTransit::noWriteError(std::string* why) {
  int error = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    error = writeError_;
  }
  return !error || refuse(text("cannot write " + path_ + ": " + std::strerror(error)), why, true);
}

bool ArchiveInTransit::complete() {
  if (head_ != kZipMagic) return refuse(kNotAnArchive);
  if (!pending_.empty()) handOver(pending_.size());
  settle();
  if (!noWriteError()) return false;
  if (total_ >= 0 && size_ != static_cast<uint64_t>(total_))
    return refuse(text("the server sent less than it announced"));
  return true;
}

bool ArchiveInTransit::resumable() const {
  return size_ > 0 && !validator_.empty() && (total_ < 0 || size_ < static_cast<uint64_t>(total_));
}
