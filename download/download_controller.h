// The download window's controller: shows what the agent's download
// reports, and acts on how it ends: starts the cached agent, installs a
// verified archive into the cache and starts it, or falls back to the
// installed agent or fails.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/agent_download.h"
#include "hostenv/report.h"
#include "platform/event_loop.h"
#include "provisioning/agent_cache.h"
#include "provisioning/agent_sourcing.h"
#include "window/download_view.h"

class Download : private AgentDownload::Listener {
 public:
  // The archive goes to downloadTo, through `cache`; messages for the
  // command line go to `callback`; the agent gets `userArguments` after the
  // product archive.
  Download(platform::EventLoop& loop, AgentCache& cache, ErrorCallback callback,
           std::vector<std::string> userArguments);
  ~Download();
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // The window, with its progress indicator, status text, cancel button and
  // image view. Not owned.
  void setWindow(window::DownloadView* window) { window_ = window; }

  void applicationDidFinishLaunching();
  void windowWillClose();
  void downloadFromURL(const std::string& address);
  void failure(const window::Message& message, window::TextColor color);
  // Logs why the download failed and shows it failed.
  void didFailWithError(const window::Message& reason);
  void waitForInstallAgentToStart();
  // Installs the verified archive into the cache and starts it from there.
  void downloadDidFinish();
  // Starts the agent in `location` with /bin/sh; false when there is none
  // or it could not be started.
  bool fireInstallAgent(const std::string& location);

  // What the run comes to, for the hand-off.
  HandOffResult result() const;

 private:
  enum class State {
    Running,  // downloading, installing, showing a failure, or closed without an agent
    AgentStarted,
    ArchiveLeft,
  };

  void downloadProgressed(const AgentDownload::Progress& progress) override;
  void downloadEnded(const AgentDownload::Outcome& outcome) override;
  void beginBar(const window::Progress& transfer);
  void installIntoCache();
  void fallBackOrFail();
  void startInstalledAgent();
  void showInitializing();
  void startCachedAgent();
  void agentGettingGoing(bool started);
  std::string vouchedAgent() const;
  void showFailure(const window::Message& message);
  void after(double seconds, void (Download::*step)());
  void cancelTimer();

  platform::EventLoop& loop_;
  ErrorCallback callback_;
  std::vector<std::string> userArguments_;
  window::DownloadView* window_ = nullptr;
  AgentCache& cache_;
  std::unique_ptr<AgentDownload> download_;
  AgentDownload::Outcome outcome_;
  std::optional<pid_t> agent_;
  int leftArchive_ = -1;  // ArchiveLeft: the verified archive, for the hand-off
  State state_ = State::Running;
  AgentDownload::Phase shownPhase_ = AgentDownload::Phase::Requesting;
  int64_t shownBytes_ = 0;
  platform::EventLoop::CallId timer_ = 0;
  double agentStartedAt_ = 0;  // monotonic seconds
};
