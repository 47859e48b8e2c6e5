// The agent archive's transfer across attempts and hosts. A failure that may
// pass is tried again after the policy's back-off; a body that broke off is
// resumed where it stopped when the server can vouch that it is the same
// archive; a host that fails for good is left for the next in the list,
// which starts from byte 0, since two hosts' bytes are never spliced.
// Every limit is the installer's own: a budget of requests, a pause
// between any two, a deadline for the whole download (later for a link that
// keeps an average of 32 kB/s), and the archive's bounds (ArchiveInTransit).
// Budget and deadline are the whole run's, whatever the number of hosts. To
// its client it is one transfer: responses, data, and one end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
    // How to ask a host, first or after one was left: at once, naming a
    // cached agent's tag or not; or not yet (the client fetches the
    // signature first, then asks for the archive or leaves the host).
    struct HostPlan {
      bool askNow = true;
      std::optional<std::string> ifNoneMatch;
    };
    virtual HostPlan fetchBeginsHost(const std::string& address) = 0;
    // `address` failed for `why`, and the next host is asked.
    virtual void fetchLeftHost(const std::string& address, const window::Message& why) = 0;
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
    long connectSeconds = connectTimeoutSeconds;
    long stallSeconds = ::stallSeconds;
    bool hashBody = false;  // only a build that checks signatures needs the digest
    uint64_t maxBytes = maxArchiveBytes;
    int maxRequests = maxArchiveRequests;
    double deadlineSeconds = downloadDeadlineSeconds;
    int retries = downloadRetries;
    double retryBaseSeconds = ::retryBaseSeconds;
    network::StartTransfer startTransfer = network::startHttpDownload;
  };

  // Starts on the next turn of the loop with the first of `addresses` (never
  // empty), writing the archive to `destination`.
  ArchiveFetch(platform::EventLoop& loop, Client& client, std::vector<std::string> addresses,
               std::string destination, Options options);
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
  // After a 304 that cannot be used, or a host's plan not to ask at once:
  // the whole archive, once, within the same budget.
  void askForWholeArchive();
  // The current host failed for `why` (its signature, or the gate's word on
  // what it served): on to the next from byte 0. False when none is left.
  bool leaveHost(const window::Message& why);
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
  bool hasAnotherHost() const { return host_ + 1 < addresses_.size(); }
  bool onlyHost() const { return addresses_.size() == 1; }
  bool leftAHost() const { return host_ > 0; }
  const std::string& firstAddress() const { return addresses_.front(); }
  // The host's archive address asked now.
  const std::string& address() const { return addresses_[host_]; }
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
  void beginHost();

  platform::EventLoop& loop_;
  Client& client_;
  std::vector<std::string> addresses_;
  size_t host_ = 0;  // of addresses_, asked now
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
