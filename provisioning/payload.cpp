#include "provisioning/payload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/file_manager.h"
#include "platform/quantities.h"
#include "provisioning/agent_signature.h"
#include "provisioning/agent_trust.h"

// Filled in by scripts/make-single-file, which finds it by its first 16
// bytes; the rest stays zero in the bundle's executable. It lies in the
// data section with external linkage, so the compiler cannot assume its
// contents: only the build changes them.
__attribute__((used)) unsigned char installerPayloadRecord[kPayloadRecordSize] = {
    0, 'q', 'v', '-', 'p', 'a', 'y', 'l', 'o', 'a', 'd', '-', 'r', 'e', 'c', 1};

namespace {

constexpr size_t kMaxIndexBytes = 1 << 20;
constexpr size_t kCopyBuffer = 256 * 1024;

uint64_t le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

const unsigned char* recordBytes() {
  const unsigned char* p = installerPayloadRecord;
  asm("" : "+r"(p));  // read what the file holds, never a value the compiler remembers
  return p;
}

struct Record {
  uint64_t fileLength, indexOffset, indexLength;
  Blake2bDigest indexDigest;
};

Record record() {
  const unsigned char* p = recordBytes();
  Record r{le(p + 16, 8), le(p + 24, 8), le(p + 32, 8), {}};
  std::memcpy(r.indexDigest.data(), p + 40, r.indexDigest.size());
  return r;
}

struct Part {
  bool link = false;  // the file itself stands for it (bundle.zip)
  std::string name;
  uint64_t offset = 0, length = 0, hashedOffset = 0, hashedLength = 0;
  Blake2bDigest digest{};
};

bool within(uint64_t offset, uint64_t length, uint64_t end) { return offset <= end && length <= end - offset; }

}  // namespace

bool isPlainRelativePath(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '/' || name.find('\0') != std::string::npos) return false;
  size_t start = 0;
  while (true) {
    size_t slash = name.find('/', start);
    std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

namespace {

// count, then per part: kind (1 byte, 1 = link), name length (2) and name,
// offset, length, hashed offset, hashed length (8 each), digest (64).
std::optional<std::vector<Part>> parseIndex(const std::string& index, uint64_t fileLength) {
  const auto* p = reinterpret_cast<const unsigned char*>(index.data());
  size_t at = 4, size = index.size();
  if (size < 4) return std::nullopt;
  uint64_t count = le(p, 4);
  std::vector<Part> parts;
  for (uint64_t i = 0; i < count; ++i) {
    if (size - at < 3) return std::nullopt;
    Part part;
    part.link = p[at] == 1;
    size_t nameLength = le(p + at + 1, 2);
    at += 3;
    if (p[at - 3] > 1 || size - at < nameLength + 32 + 64) return std::nullopt;
    part.name = index.substr(at, nameLength);
    at += nameLength;
    part.offset = le(p + at, 8), part.length = le(p + at + 8, 8);
    part.hashedOffset = le(p + at + 16, 8), part.hashedLength = le(p + at + 24, 8);
    std::memcpy(part.digest.data(), p + at + 32, 64);
    at += 96;
    bool wholePart = part.hashedOffset == part.offset && part.hashedLength == part.length;
    if (!isPlainRelativePath(part.name) || !within(part.offset, part.length, fileLength) ||
        !within(part.hashedOffset - part.offset, part.hashedLength, part.length) ||
        part.hashedOffset < part.offset || (!part.link && !wholePart))
      return std::nullopt;
    parts.push_back(std::move(part));
  }
  if (at != size) return std::nullopt;
  return parts;
}

class Unpacker {
 public:
  Unpacker(int fd, std::string path, std::string directory)
      : fd_(fd), path_(std::move(path)), dir_(std::move(directory)), buffer_(new unsigned char[kCopyBuffer]) {}

  // Every check and every part, in this order: the length, the trailer, the
  // index, the links' directories, then the parts, each hashed as it is
  // written. False at the first problem, with code() and problem() set.
  bool run(const Record& expected, uint64_t size) {
    std::string trailer, index;
    if (size != expected.fileLength || size < kPayloadRecordSize) return damaged();
    if (!read(size - kPayloadRecordSize, kPayloadRecordSize, &trailer)) return false;
    if (std::memcmp(trailer.data(), recordBytes(), kPayloadRecordSize) != 0) return damaged();
    if (!within(expected.indexOffset, expected.indexLength, size) || expected.indexLength > kMaxIndexBytes)
      return damaged();
    if (!read(expected.indexOffset, expected.indexLength, &index)) return false;
    Blake2b512 indexHash;
    indexHash.update(index.data(), index.size());
    std::optional<std::vector<Part>> parts;
    if (indexHash.finish() != expected.indexDigest || !(parts = parseIndex(index, size))) return damaged();
    for (const Part& part : *parts) {
      Blake2b512 hasher;
      if (part.link && !stream(part.hashedOffset, part.hashedLength, hasher)) return false;
      if (part.link && hasher.finish() != part.digest) return damaged();
    }
    for (const Part& part : *parts)
      if (!part.link && !writePart(part)) return false;
    for (const Part& part : *parts)
      if (part.link && !create(part.name, [&](const std::string& target) {
            return symlink(path_.c_str(), target.c_str()) == 0 ? 0 : -1;
          }))
        return false;
    return true;
  }

  PayloadCode code() const { return code_; }
  const std::string& problem() const { return problem_; }
  const WrittenFiles& parts() const { return parts_; }

  // What a failed unpacking wrote goes again.
  void removeWritten() {
    for (auto file = written_.rbegin(); file != written_.rend(); ++file)
      if (unlink(file->c_str()) != 0) rmdir(file->c_str());
  }

 private:
  bool damaged() { return fail(PayloadCode::Damaged, std::string()); }
  bool cannotWrite() {
    return fail(PayloadCode::CannotUnpack, "Cannot unpack the installer's files into " + dir_ + ": " + why(-1));
  }
  bool fail(PayloadCode code, std::string problem) {
    code_ = code;
    problem_ = std::move(problem);
    return false;
  }
  bool cannotRead(ssize_t result) {
    return fail(PayloadCode::CannotUnpack, "Cannot read the installer file " + path_ + ": " + why(result));
  }
  static std::string why(ssize_t result) { return result == 0 ? "the file ends early" : std::strerror(errno); }

  bool read(uint64_t offset, size_t length, std::string* into) {
    into->resize(length);
    for (size_t done = 0; done < length;) {
      ssize_t n = pread(fd_, into->data() + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return cannotRead(n);
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads [offset, offset + length) into the hasher, and into `out` when
  // it is open.
  bool stream(uint64_t offset, uint64_t length, Blake2b512& hasher, int out = -1) {
    while (length > 0) {
      ssize_t n = pread(fd_, buffer_.get(), std::min<uint64_t>(length, kCopyBuffer), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return cannotRead(n);
      hasher.update(buffer_.get(), static_cast<size_t>(n));
      for (ssize_t done = 0; out >= 0 && done < n;) {
        ssize_t w = write(out, buffer_.get() + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return cannotWrite();
        done += w;
      }
      offset += static_cast<uint64_t>(n), length -= static_cast<uint64_t>(n);
    }
    return true;
  }

  // `name` below the directory, its folders made first; `make` returns an
  // open descriptor, or 0 when it made something that is not opened.
  template <typename Make>
  bool create(const std::string& name, Make make, int* opened = nullptr) {
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
      std::string folder = dir_ + "/" + name.substr(0, slash);
      if (mkdir(folder.c_str(), 0700) == 0) written_.push_back(folder);
      else if (errno != EEXIST) return cannotWrite();
    }
    std::string target = dir_ + "/" + name;
    int result = make(target);
    if (result < 0) return cannotWrite();
    written_.push_back(target);
    if (opened) *opened = result;
    return true;
  }

  // The part as a file of its own, its digest kept for the signature gate.
  bool writePart(const Part& part) {
    int out = -1;
    if (!create(part.name, [](const std::string& target) {
          return open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }, &out))
      return false;
    Blake2b512 hasher;
    bool ok = stream(part.offset, part.length, hasher, out);
    if (ok && hasher.finish() != part.digest) ok = damaged();
    std::optional<FileStamp> stamp = ok ? stampOf(out) : std::nullopt;
    if (stamp) parts_.push_back({*stamp, part.digest});
    if (close(out) != 0 && ok) ok = cannotWrite();
    return ok;
  }

  int fd_;
  std::string path_, dir_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::vector<std::string> written_;  // in the order made
  PayloadCode code_ = PayloadCode::Ok;
  std::string problem_;
  WrittenFiles parts_;
};

}  // namespace

bool carriesPayload() { return record().fileLength != 0; }

platform::Result<WrittenFiles, PayloadCode> unpackPayload(const std::string& path, const std::string& directory) {
  const Record expected = record();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    platform::Status<PayloadCode> unreadable(PayloadCode::CannotUnpack,
                                             "Cannot read the installer file " + path + ": " + std::strerror(errno));
    if (fd >= 0) close(fd);
    return unreadable;
  }
  Unpacker unpacker(fd, path, directory);
  bool ok = unpacker.run(expected, static_cast<uint64_t>(st.st_size));
  close(fd);
  if (ok) return unpacker.parts();
  unpacker.removeWritten();
  if (unpacker.code() != PayloadCode::Damaged) return {unpacker.code(), unpacker.problem()};
  return {PayloadCode::Damaged, "The installer file is damaged or incomplete (" + platform::formatByteCount(st.st_size) + " of " +
                 platform::formatByteCount(static_cast<int64_t>(expected.fileLength)) + "): download it again."};
}
