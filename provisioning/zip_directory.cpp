#include "provisioning/zip_directory.h"

#include <minizip/unzip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

namespace {

// minizip reads the directory a few bytes at a time: those reads are
// served from one window of the file, read with pread (the descriptor's
// offset is never moved, and it stays the caller's).
struct WindowedFile {
  int fd;
  uint64_t size;
  uint64_t position = 0;
  uint64_t windowStart = 0;
  size_t windowLength = 0;
  bool failed = false;
  unsigned char window[64 * 1024];
};

voidpf openFile(voidpf opaque, const void*, int) { return opaque; }

uLong readFile(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* file = static_cast<WindowedFile*>(stream);
  auto* out = static_cast<unsigned char*>(buffer);
  uLong done = 0;
  while (done < size && file->position < file->size) {
    if (file->position < file->windowStart || file->position >= file->windowStart + file->windowLength) {
      // minizip first scans back from the end for the end records: a read
      // before the window (or the first) gets the window that ends with it,
      // so that one read serves the whole scan; a later read moves ahead.
      uint64_t start = file->position;
      if (file->windowLength == 0 || file->position < file->windowStart) {
        uint64_t end = std::min<uint64_t>(file->position + (size - done), file->size);
        start = end > sizeof file->window ? end - sizeof file->window : 0;
      }
      ssize_t n = pread(file->fd, file->window, sizeof file->window, static_cast<off_t>(start));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || start + static_cast<uint64_t>(n) <= file->position) {
        file->failed = true;
        break;
      }
      file->windowStart = start;
      file->windowLength = static_cast<size_t>(n);
    }
    size_t offset = static_cast<size_t>(file->position - file->windowStart);
    size_t piece = std::min<uint64_t>(size - done, file->windowLength - offset);
    std::memcpy(out + done, file->window + offset, piece);
    done += piece;
    file->position += piece;
  }
  return done;
}

uLong writeFile(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T tellFile(voidpf, voidpf stream) { return static_cast<WindowedFile*>(stream)->position; }

long seekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* file = static_cast<WindowedFile*>(stream);
  uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? file->position : file->size;
  uint64_t target = base + offset;  // minizip moves back with a negative offset, wrapped around
  if (target > file->size) return -1;
  file->position = target;
  return 0;
}

int closeFile(voidpf, voidpf) { return 0; }

int fileError(voidpf, voidpf stream) { return static_cast<WindowedFile*>(stream)->failed ? EIO : 0; }

// A size of 0xFFFFFFFF in a record means that the real one is in the
// record's zip64 extra field (id 1, the unpacked size first); this
// minizip leaves the marker in its place.
uint64_t unpackedSize(const unz_file_info64& info, const unsigned char* extra, size_t extraLength) {
  constexpr uint64_t kZip64Marker = 0xFFFFFFFF;
  if (info.uncompressed_size != kZip64Marker) return info.uncompressed_size;
  auto le = [](const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
  };
  for (size_t at = 0; at + 4 <= extraLength;) {
    uint64_t id = le(extra + at, 2), length = le(extra + at + 2, 2);
    if (id == 1 && length >= 8 && at + 4 + 8 <= extraLength) return le(extra + at + 4, 8);
    at += 4 + length;
  }
  return kZip64Marker;
}

// The sizes of the directory's `count` records, summed; nothing when one
// of them cannot be read.
std::optional<platform::TreeTotals> walk(unzFile zip, uint64_t count) {
  platform::TreeTotals counted;
  constexpr size_t kLargestExtra = 0xFFFF;
  std::unique_ptr<unsigned char[]> extra(new unsigned char[kLargestExtra]);  // only what is read is touched
  // The directory's own count ends the walk: minizip would go on past
  // 65535 entries until a record fails to read.
  for (int status = count > 0 ? unzGoToFirstFile(zip) : UNZ_OK; counted.entries < count;
       status = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    if (status != UNZ_OK ||
        unzGetCurrentFileInfo64(zip, &info, nullptr, 0, extra.get(), kLargestExtra, nullptr, 0) != UNZ_OK)
      return std::nullopt;
    uint64_t size = unpackedSize(info, extra.get(), std::min<size_t>(info.size_file_extra, kLargestExtra));
    counted.bytes += std::min<uint64_t>(size, std::numeric_limits<uint64_t>::max() - counted.bytes);
    ++counted.entries;
  }
  return counted;
}

}  // namespace

std::optional<platform::TreeTotals> declaredTotals(int fd, unsigned long long maxEntries) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::unique_ptr<WindowedFile> file(new WindowedFile);  // its window is filled by reading, not zeroed
  file->fd = fd;
  file->size = static_cast<uint64_t>(st.st_size);
  zlib_filefunc64_def io = {openFile, readFile, writeFile, tellFile, seekFile, closeFile, fileError, file.get()};
  unzFile zip = unzOpen2_64("", &io);
  if (!zip) return std::nullopt;
  std::optional<platform::TreeTotals> totals;
  unz_global_info64 global;
  if (unzGetGlobalInfo64(zip, &global) == UNZ_OK)
    totals = global.number_entry > maxEntries ? platform::TreeTotals{0, global.number_entry}
                                              : walk(zip, global.number_entry);
  unzClose(zip);
  return totals;
}
