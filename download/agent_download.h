// The agent from the servers, decided in one place: the archive's fetch (or
// a server's word that the cached agent is current), its signature and the
// gate, the cache's part in it, and when to leave a host for the next. It
// reports how far it has come and ends with one outcome; the Download
// controller shows both.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/archive_fetch.h"
#include "download/progress_meter.h"
#include "hostenv/report.h"
#include "platform/event_loop.h"
#include "provisioning/agent_cache.h"
#include "window/message.h"

class AgentDownload : private ArchiveFetch::Client {
 public:
  enum class Phase {
    Requesting,  // no usable response yet
    Receiving,   // the archive's body arrives
    Waiting,     // an attempt failed in a way that may pass; the next is due
    Verifying,   // fetching and checking the signature
  };
  struct Progress {
    Phase phase = Phase::Requesting;
    window::Progress transfer;  // Receiving: bytes so far (a resumed body counts what was kept), rate, time left
    double retryInSeconds = 0;  // Waiting: when the next attempt starts
    bool anotherHost = false;   // Requesting: a host failed, and the next is asked
  };

  // Why a run gets no new agent.
  enum class Setback {
    Download,  // not fetched, or refused by the gate
    Unpack,    // would not unpack, or holds no install script
    NoUnzip,   // nothing to unpack it with
  };
  struct Outcome {
    enum class Kind {
      CachedAgentCurrent,  // the server has nothing newer: the cache is locked, its agent vouched for
      ArchiveVerified,     // `archive` is complete, and the gate passed it
      Failed,
    };
    Kind kind = Kind::Failed;
    std::string tag;                     // the archive's ETag, or the cached agent's
    std::string source;                  // ArchiveVerified: the address that served it, when not the first
    std::string signature;               // ArchiveVerified, in a build with keys
    ArchiveInTransit* archive = nullptr;  // ArchiveVerified: the open file and its digest; owned here
    Setback setback = Setback::Download;  // Failed
    window::Message why;                  // Failed
    // Failed: a refusal that would repeat, to record should the installed agent run instead.
    std::optional<AgentCache::Refusal> refusing;
  };

  class Listener {
   public:
    virtual void downloadProgressed(const Progress& progress) = 0;
    // Once, and nothing after it.
    virtual void downloadEnded(const Outcome& outcome) = 0;

   protected:
    ~Listener() = default;
  };

  // Starts on the next turn of the loop: the archive from the first of
  // `addresses` that serves one the gate passes, into `destination`. The
  // host that served a vouched cached agent gets its tag (If-None-Match), so
  // that with nothing new it answers 304 without a body; in a build with
  // keys any other host is asked for its signature first, and the cached
  // agent is current when that is the one it was installed with.
  AgentDownload(platform::EventLoop& loop, AgentCache& cache, Listener& listener, ErrorCallback callback,
                std::vector<std::string> addresses, const std::string& destination);
  ~AgentDownload();  // cancels
  AgentDownload(const AgentDownload&) = delete;
  AgentDownload& operator=(const AgentDownload&) = delete;

  // Nothing more comes of it, and no listener call.
  void cancel();
  // The outcome is taken: the deadline stops here, since unpacking is not the server's time.
  void finish();
  const std::string& address() const { return fetch_->address(); }

 private:
  bool fetchResponded(const network::HttpResponse& response) override;
  void fetchReceived(uint64_t length) override;
  void fetchRetrying(double seconds) override;
  void fetchEnded(network::TransferEnd how) override;
  void fetchFailed(const window::Message& why) override;
  HostPlan fetchBeginsHost(const std::string& address) override;
  void fetchLeftHost(const std::string& address, const window::Message& why) override;

  void decideOnCache();
  void archiveArrived();
  void signatureArrived(const std::optional<std::string>& text, const window::Message& whyNot);
  void recheckRefusal();
  void probeHost();
  void signatureProbed(const std::optional<std::string>& text, const window::Message& whyNot);
  void leaveHostOrFail(const window::Message& why);
  void progressed();
  void end(Outcome outcome);
  void fail(Setback setback, window::Message why);
  void cancelTimer();

  platform::EventLoop& loop_;
  AgentCache& cache_;
  Listener& listener_;
  ErrorCallback callback_;
  std::unique_ptr<ArchiveFetch> fetch_;
  platform::EventLoop::CallId timer_ = 0;
  Phase phase_ = Phase::Requesting;
  bool deciding_ = false;  // the body keeps arriving while another run holds the cache
  bool ended_ = false;
  std::string tag_;
  int64_t received_ = 0;
  RateMeter rate_;
  // A refusal on record when the run began (a build with keys and a vouched
  // agent only), and one to record when this run refuses what it fetched.
  std::optional<AgentCache::Refusal> refusal_, refusing_;
  bool fetchedAgain_ = false;  // after an archive that did not match its signature
  bool probedSame_ = false;              // this host signs the cached agent: the cache decides
  std::optional<std::string> probed_;    // this host's signature, fetched before its archive
};
