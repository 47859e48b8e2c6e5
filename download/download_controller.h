// The download window's controller: downloads the agent archive, reuses a
// cache the server still vouches for, installs the download into the cache
// and starts the agent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "download/archive_fetch.h"
#include "download/progress_meter.h"
#include "hostenv/report.h"
#include "network/http_download.h"
#include "platform/event_loop.h"
#include "provisioning/agent_cache.h"
#include "provisioning/agent_sourcing.h"
#include "window/download_view.h"

class Download : private ArchiveFetch::Client {
 public:
  // installAgentLocation = downloadTo; messages for the command line go to `callback`.
  Download(platform::EventLoop& loop, ErrorCallback callback);
  ~Download();
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // The window, with its progress indicator, status text, cancel button and
  // image view. Not owned.
  void setWindow(window::DownloadView* window) { window_ = window; }
  window::DownloadView* window() const { return window_; }

  void applicationDidFinishLaunching();
  void windowWillClose();
  void didReceiveDataOfLength(uint64_t length);
  void failure(const window::Message& message, window::TextColor color);
  // Logs why the download failed and shows it failed.
  void didFailWithError(const window::Message& reason);

  // A vouched cached agent's tag goes along (If-None-Match), so that a
  // server with nothing new answers 304 without a body.
  void downloadFromURL(const std::string& address);
  // Whether to take the response's body.
  bool didReceiveResponse(const network::HttpResponse& response);
  void didReceiveAuthenticationChallenge();
  void waitForInstallAgentToStart();
  void downloadDidFinish();
  // Starts the cached agent with /bin/sh; false when it could not be started.
  bool fireInstallAgent();

  int64_t fileLength() const { return fileLength_; }
  int64_t bytesReceived() const { return bytesReceived_; }
  const ArchiveFetch* theDownload() const { return theDownload_.get(); }
  const std::string& installAgentLocation() const { return installAgentLocation_; }
  const std::string& validationString() const { return validationString_; }

  // What the run comes to, for the hand-off.
  HandOffResult result() const;

 private:
  enum class State {
    Requesting,     // no response yet
    AwaitingCache,  // response in; another run holds the cache, the body keeps coming
    Receiving,
    Waiting,        // an attempt failed in a way that may pass; the next is due
    Verifying,      // body complete; fetching and checking its signature
    Installing,     // verified; waiting for the cache
    Failed,
    AgentStarted,
    ArchiveLeft,
    Closed,
  };

  bool fetchResponded(const network::HttpResponse& response) override;
  void fetchReceived(uint64_t length) override;
  void fetchRetrying(double seconds) override;
  void fetchEnded(network::TransferEnd how) override;
  void fetchFailed(const window::Message& why) override;
  // Why this run gets no new agent.
  enum class Setback {
    Download,  // not fetched, or refused by the gate
    Unpack,    // would not unpack, or holds no install script
    NoUnzip,   // nothing to unpack it with
  };

  void decideOnCache();
  void archiveArrived();
  void signatureArrived(const std::optional<std::string>& text, const window::Message& whyNot);
  void recheckRefusal();
  void installIntoCache();
  void setBack(Setback kind, const window::Message& why);
  void fallBackOrFail();
  void startInstalledAgent();
  void showInitializing();
  void startCachedAgent();
  void showProgress(uint64_t length);
  void showFailure(const window::Message& message);
  void after(double seconds, void (Download::*step)());
  void cancelTimer();

  platform::EventLoop& loop_;
  ErrorCallback callback_;
  window::DownloadView* window_ = nullptr;
  AgentCache cache_;
  std::unique_ptr<ArchiveFetch> theDownload_;
  std::optional<pid_t> agent_;
  State state_ = State::Requesting;
  platform::EventLoop::CallId timer_ = 0;
  double agentStartedAt_ = 0;  // monotonic seconds

  int64_t fileLength_ = -1;
  int64_t bytesReceived_ = 0;
  RateMeter rate_;
  std::string installAgentLocation_;
  std::string validationString_;
  std::string signature_;  // the archive's signature, as fetched
  Setback setback_ = Setback::Download;
  window::Message setbackWhy_;
  // A refusal on record when the run began (a build with keys and a vouched
  // agent only), and one to record when this run refuses what it fetched.
  std::optional<AgentCache::Refusal> refusal_, refusing_;
  bool fetchedAgain_ = false;  // after an archive that did not match its signature
  ArchiveFetch::Options transfer_;
};
