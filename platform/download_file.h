// Where a transfer's body goes: a temporary file beside the destination,
// written through a buffer, that replaces the destination only when the
// body is complete, so a reader never sees half an archive under its name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class DownloadFile {
 public:
  DownloadFile() = default;
  ~DownloadFile();  // an uncommitted file is removed
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  // Creates the temporary file; false with the reason in `error`. With
  // `resumeFrom`, the destination's first `resumeFrom` bytes (a partial an
  // earlier attempt left there) become the temporary file's start.
  bool create(const std::string& destination, std::string* error, uint64_t resumeFrom = 0);
  // Drops everything written so far, to begin again at the first byte.
  bool restart();
  // False on a write error; errorNumber() tells which.
  bool append(const char* data, size_t length);
  // Flushes, closes and renames over the destination.
  bool commit(std::string* error);
  // Moves what arrived, if anything, to the destination; else removes it.
  void keepPartial();
  void discard();

  uint64_t size() const { return written_; }  // in the file, a resumed partial included
  int errorNumber() const { return errno_; }
  const std::string& destination() const { return destination_; }

 private:
  bool flush();
  bool takeOverPartial(uint64_t size, std::string* error);

  std::string destination_;
  std::string tempPath_;
  int fd_ = -1;
  std::vector<char> buffer_;
  uint64_t written_ = 0;
  int errno_ = 0;
};

}  // namespace platform
