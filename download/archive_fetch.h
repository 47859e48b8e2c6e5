// The agent archive's transfer across attempts. A failure that may pass is
// tried again after the policy's back-off; a body that broke off is resumed
// where it stopped when the server can vouch that it is the same archive;
// the archive is hashed, and its first bytes kept, as they arrive. To its
// client it is one transfer: responses, data, and one end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/event_loop.h"
#include "platform/http_download.h"
#include "provisioning/agent_signature.h"

class ArchiveFetch : private platform::HttpDownloadDelegate {
 public:
  class Client {
   public:
    // An attempt's response. `alreadyThere`: bytes of the body that earlier
    // attempts delivered and this one continues (0: the body starts over).
    // True to take its body.
    virtual bool fetchResponded(const platform::HttpResponse& response, uint64_t alreadyThere) = 0;
    virtual void fetchReceived(uint64_t length) = 0;
    // An attempt failed in a way that may pass; the next starts in `seconds`.
    virtual void fetchRetrying(double seconds) = 0;
    // Finished, not modified, or failed for good; never after cancel().
    virtual void fetchEnded(const platform::TransferResult& result) = 0;

   protected:
    ~Client() = default;
  };

  struct Options {
    long connectSeconds = 30;
    long stallSeconds = 60;
    bool hashBody = false;  // only a build that checks signatures needs the hash
  };

  // Starts at once. With `ifNoneMatch`, a server with nothing newer answers 304.
  ArchiveFetch(platform::EventLoop& loop, Client& client, std::string address, std::string destination,
               std::optional<std::string> ifNoneMatch, Options options);
  ~ArchiveFetch();  // cancels
  ArchiveFetch(const ArchiveFetch&) = delete;
  ArchiveFetch& operator=(const ArchiveFetch&) = delete;

  void cancel();
  // How it ended: Finished (the whole body is at the destination),
  // NotModified, or a failure; nothing while it goes on.
  std::optional<platform::TransferEnd> ended() const { return ended_; }
  const std::string& address() const { return address_; }
  const Blake2b512& hash() const { return hash_; }
  const std::string& head() const { return head_; }  // the body's first bytes, up to four

 private:
  bool didReceiveResponse(const platform::HttpResponse& response) override;
  void didReceiveDataOfLength(uint64_t length) override;
  void didEnd(const platform::TransferResult& result) override;
  void attempt(uint64_t resumeFrom);
  void retryLater(const platform::TransferResult& result);
  void retry();

  platform::EventLoop& loop_;
  Client& client_;
  std::string address_;
  std::string destination_;
  std::optional<std::string> ifNoneMatch_;
  Options options_;
  std::unique_ptr<platform::HttpDownload> transfer_;
  Blake2b512 hash_;
  std::string head_;
  int retries_ = 0;                        // attempts after the first that used up the budget
  uint64_t resumedFrom_ = 0;               // bytes the current attempt continues from
  uint64_t attemptBytes_ = 0;              // bytes the current attempt delivered
  std::string validator_;                  // the body's ETag or Last-Modified, for If-Range
  std::optional<std::string> retryAfter_;  // of the last response refused
  platform::EventLoop::CallId timer_ = 0;
  std::optional<platform::TransferEnd> ended_;
};
