// The agent archive while it arrives, across every attempt: the one owner
// of its open file, its running digest, how much of it is kept for a
// resume and the validator that vouches for that part, its bounds, and its
// removal. Every body byte passes here, so what is hashed is exactly what
// was written, and nothing is written beyond what the server announced or
// this installer accepts.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "network/http_download.h"
#include "provisioning/agent_signature.h"
#include "window/message.h"

class ArchiveInTransit : public network::BodySink {
 public:
  // The archive is written to `path` (whatever stood there is replaced),
  // hashed when `hash`, and never longer than `maxBytes`.
  ArchiveInTransit(std::string path, bool hash, uint64_t maxBytes);
  ~ArchiveInTransit();  // removes the file
  ArchiveInTransit(const ArchiveInTransit&) = delete;
  ArchiveInTransit& operator=(const ArchiveInTransit&) = delete;

  // A response whose body is taken. With `continues` (a 206 to a request
  // for the rest) it must pick up exactly where the kept part ends;
  // otherwise the archive starts over. False when the body cannot be
  // taken (too large, not the rest, no room on the disk): refusal() says why.
  bool begin(const network::HttpResponse& response, bool continues);
  bool write(const char* data, size_t length, std::string* why) override;
  // The body arrived whole: false when it is not the archive announced, or
  // cannot all be written (refusal() says why). Only then is fd() the whole
  // archive.
  bool complete();
  // Why the archive refused a response, a piece or its end; empty until it did.
  const window::Message& refusal() const { return refusal_; }
  // The refusal is this machine's (the file cannot be made or written), not
  // the server's: another server would meet it too.
  bool localFault() const { return localFault_; }
  // Forgets everything that arrived, to begin again at byte 0.
  void restart();

  // Whether a new request may ask for just the rest: part of it is kept, a
  // validator can vouch that the server still has the same archive, and
  // the rest is not known to be empty.
  bool resumable() const;
  uint64_t size() const { return size_; }
  int64_t total() const { return total_; }  // the whole archive's announced length; -1 when unknown
  const std::string& validator() const { return validator_; }
  Blake2bDigest digest() const { return hash_.finish(); }  // once complete()
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  bool refuse(window::Message reason, std::string* why = nullptr, bool local = false);
  struct Piece {
    std::string data;
    uint64_t at;  // where it goes in the file
  };
  void handOver(size_t count);
  void writeAll();
  void store(Piece& piece);
  void settle();
  bool noWriteError(std::string* why = nullptr);

  std::string path_;
  int fd_ = -1;
  int openError_ = 0;
  bool hashing_;
  uint64_t maxBytes_;
  bool created_ = false;
  Blake2b512 hash_;
  std::string head_;          // the first bytes, until they tell whether this is a zip archive
  uint64_t size_ = 0;         // bytes taken: hashed and in the file once settled, else partly on their way
  std::string pending_;       // taken but not yet handed over
  int64_t total_ = -1;
  uint64_t roomLeft_ = 0;     // for a body of unknown length: what the disk had when it began
  uint64_t begunAt_ = 0;      // size_ when the current body began
  std::string validator_;     // ETag or Last-Modified of the archive kept
  window::Message refusal_;
  bool localFault_ = false;
  std::thread writer_;        // hashes and writes the pieces handed over, in order
  bool writerFailed_ = false;
  // Shared with the writer, under mutex_:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<Piece> queue_;
  bool writing_ = false;
  bool stopping_ = false;
  int writeError_ = 0;        // the first errno of a write since the last restart
  std::vector<std::string> spare_;  // written pieces' buffers, to be used again
};
