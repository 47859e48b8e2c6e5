// The agent archive's transfer across attempts. A failure that may pass is
// tried again after the policy's back-off; a body that broke off is resumed
// where it stopped when the server can vouch that it is the same archive.
// Every limit is the installer's own: a budget of requests, a pause
// between any two, a deadline for the whole download (later for a link that
// keeps an average of 32 kB/s), and the archive's bounds (ArchiveInTransit).
// To its client it is one transfer: responses, data, and one end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "download/archive_in_transit.h"
#include "download/signature_fetch.h"
#include "network/http_download.h"
#include "platform/event_loop.h"
#include "provisioning/build_constants.h"
#include "window/message.h"

class ArchiveFetch : private network::HttpDownloadDelegate {
 public:
  class Client {
   public:
    // An attempt's response: a 2xx whose body the archive has taken, a
    // 304, or a status that ends the attempt. True to go on receiving.
    virtual bool fetchResponded(const network::HttpResponse& response) = 0;
    virtual void fetchReceived(uint64_t length) = 0;
    // An attempt failed in a way that may pass; the next starts in `seconds`.
    virtual void fetchRetrying(double seconds) = 0;
    // Finished (the whole archive is there) or NotModified; never after cancel().
    virtual void fetchEnded(network::TransferEnd how) = 0;
    // Failed for good, with words a person can act on (also when the
    // deadline comes after fetchEnded, before finish()); never after cancel().
    virtual void fetchFailed(const window::Message& why) = 0;

   protected:
    ~Client() = default;
  };

  struct Options {
    long connectSeconds = 30;
    long stallSeconds = 60;
    bool hashBody = false;  // only a build that checks signatures needs the digest
    uint64_t maxBytes = maxArchiveBytes;
    int maxRequests = maxArchiveRequests;
    double deadlineSeconds = downloadDeadlineSeconds;
    int retries = downloadRetries;
    double retryBaseSeconds = ::retryBaseSeconds;
    network::StartTransfer startTransfer = network::startHttpDownload;
  };

  // Starts on the next turn of the loop, writing the archive to `destination`. With
  // `ifNoneMatch`, a server with nothing newer answers 304.
  ArchiveFetch(platform::EventLoop& loop, Client& client, std::string address, std::string destination,
               std::optional<std::string> ifNoneMatch, Options options);
  ~ArchiveFetch();  // cancels
  ArchiveFetch(const ArchiveFetch&) = delete;
  ArchiveFetch& operator=(const ArchiveFetch&) = delete;

  void cancel();
  // Ends the transfer under way (a body the client does not want); the
  // deadline goes on, for what the client fetches instead, until finish().
  void stopTransfer();
  // The client is done with the download: its deadline, which still ran
  // while the client fetched what goes with the archive, ends here.
  void finish();
  // After a 304 that cannot be used: the whole archive, once, within the
  // same budget.
  void askForWholeArchive();
  // The archive arrived but is not the one wanted: all of it again, within
  // the same budget and deadline.
  void startOver();
  // The signature published beside the archive, as one more request of the
  // budget, under the deadline. `done` is not called after a failure the
  // client hears of through fetchFailed (the budget or the deadline ran out).
  using SignatureDone = std::function<void(const std::optional<std::string>& text, const window::Message& whyNot)>;
  void fetchSignature(SignatureDone done);
  // How it ended: Finished, NotModified, or a failure; nothing while it goes on.
  std::optional<network::TransferEnd> ended() const { return ended_; }
  const std::string& address() const { return address_; }
  ArchiveInTransit& archive() { return archive_; }
  const ArchiveInTransit& archive() const { return archive_; }

 private:
  bool didReceiveResponse(const network::HttpResponse& response) override;
  void didReceiveDataOfLength(uint64_t length) override;
  void didEnd(const network::TransferResult& result) override;
  void attempt();
  network::HttpRequest requestFor(std::string url);
  bool budgetSpent();
  void next(double delaySeconds);
  void retryLater(const network::TransferResult& result, bool progressed);
  void fail(window::Message why);
  void stopTimers();
  void armDeadline(double seconds);
  void resume();

  platform::EventLoop& loop_;
  Client& client_;
  std::string address_;
  std::optional<std::string> ifNoneMatch_;
  Options options_;
  ArchiveInTransit archive_;
  std::unique_ptr<network::Transfer> transfer_;
  std::unique_ptr<SignatureFetch> signature_;
  int requests_ = 0;                       // made so far, of the budget, redirects included
  int retries_ = 0;                        // attempts after the first that used up a retry
  bool askedForRange_ = false;             // the current attempt asked for the rest only
  bool askedIfNoneMatch_ = false;          // the current attempt named the cached tag
  uint64_t keptAtStart_ = 0;               // archive bytes when the current attempt began
  double lastRequestAt_ = -1;              // monotonic seconds
  double startedAt_ = 0;                   // monotonic seconds
  uint64_t bodyBytes_ = 0;                 // received in every attempt
  bool lastDropped_ = false;               // the last failure was a dropped connection
  window::Message refusal_;                // why the current response was not taken
  std::optional<double> retryAfter_;       // of the last response refused
  platform::EventLoop::CallId timer_ = 0;
  platform::EventLoop::CallId deadline_ = 0;
  std::optional<network::TransferEnd> ended_;
};
