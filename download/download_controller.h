// The download window's controller: downloads the agent archive, reuses a
// cache the server still vouches for, installs the download into the cache
// and starts the agent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "hostenv/report.h"
#include "platform/download_view.h"
#include "platform/event_loop.h"
#include "platform/http_download.h"
#include "download/signature_fetch.h"
#include "provisioning/agent_cache.h"
#include "provisioning/agent_signature.h"
#include "provisioning/agent_sourcing.h"

class Download : public platform::HttpDownloadDelegate {
 public:
  // installAgentLocation = downloadTo; messages for the command line go to `callback`.
  Download(platform::EventLoop& loop, ErrorCallback callback);
  ~Download();
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // The window, with its progress indicator, status text, cancel button and
  // image view. Not owned.
  void setWindow(platform::DownloadView* window) { window_ = window; }
  platform::DownloadView* window() const { return window_; }

  void applicationDidFinishLaunching();
  void windowWillClose();
  void didReceiveDataOfLength(uint64_t length) override;
  void failure(const std::string& message, platform::TextColor color);
  void didFailWithError(const platform::TransferResult& error);

  // With `conditional`, a cached agent's tag goes along (If-None-Match), so
  // that a server with nothing new answers 304 without a body.
  void downloadFromURL(const std::string& address, bool conditional = true);
  bool didReceiveResponse(const platform::HttpResponse& response) override;
  void didReceiveAuthenticationChallenge();
  void waitForInstallAgentToStart();
  void downloadDidFinish();
  // Starts the cached agent with /bin/sh; false when it could not be started.
  bool fireInstallAgent();

  int64_t fileLength() const { return fileLength_; }
  int64_t bytesReceived() const { return bytesReceived_; }
  platform::HttpDownload* theDownload() const { return theDownload_.get(); }
  const std::string& installAgentLocation() const { return installAgentLocation_; }
  const std::string& validationString() const { return validationString_; }

  // What the run comes to, for the hand-off.
  HandOffResult result() const;
  // Transfer time-outs; the product uses the defaults.
  void setTimeouts(long connectSeconds, long stallSeconds);

 private:
  enum class State {
    Requesting,     // no response yet
    AwaitingCache,  // response in; another run holds the cache, the body keeps coming
    Receiving,
    Waiting,        // a transfer failed in a way that may pass; the next attempt is due
    Verifying,      // body complete; fetching and checking its signature
    Installing,     // verified; waiting for the cache
    Failed,
    AgentStarted,
    ArchiveLeft,
    Closed,
  };

  void didEnd(const platform::TransferResult& result) override;
  // One attempt at the archive; `resumeFrom` bytes of an earlier one are kept.
  void requestArchive(bool conditional, uint64_t resumeFrom);
  void retryLater(const platform::TransferResult& result);
  void retry();
  void decideOnCache();
  void archiveArrived();
  void signatureArrived(bool ok, const std::string& textOrReason);
  void fail(const std::string& reason);
  void installIntoCache();
  void showProgress(uint64_t length);
  void showFailure(const std::string& message);
  void after(double seconds, void (Download::*step)());
  void cancelTimer();

  platform::EventLoop& loop_;
  ErrorCallback callback_;
  platform::DownloadView* window_ = nullptr;
  AgentCache cache_;
  std::unique_ptr<platform::HttpDownload> theDownload_;
  Blake2b512 hash_;   // of the archive, as it arrives
  std::string head_;  // its first bytes, to tell an archive from a web page
  std::unique_ptr<SignatureFetch> signatureFetch_;
  std::optional<pid_t> agent_;
  State state_ = State::Requesting;
  platform::EventLoop::CallId timer_ = 0;

  int64_t fileLength_ = -1;
  int64_t bytesReceived_ = 0;
  std::string address_;  // of the archive, as given (not where a redirect led)
  std::string installAgentLocation_;
  std::string validationString_;
  std::string signature_;  // the archive's verified signature
  int retries_ = 0;            // attempts after the first, so far
  uint64_t resumedFrom_ = 0;   // bytes the current attempt continues from
  std::string validator_;      // the body's ETag or Last-Modified, for If-Range
  std::optional<std::string> retryAfter_;  // of the last response refused
  long connectSeconds_ = 30;
  long stallSeconds_ = 60;
};
