#include "platform/task.h"

#include <glib-unix.h>
#include <glib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/process_env.h"

namespace platform {

namespace {

// Every descriptor from 3 up closes at the next exec, so a child gets only
// what it is handed. Marked here in the parent, just before each spawn, so
// that GLib has nothing to do between fork and exec: it then starts the
// child with posix_spawn instead of copying this process. False where the
// kernel cannot (before 5.11); GLib closes them in a forked child then.
bool markDescriptorsCloseOnExec() { return close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0; }

GSpawnFlags spawnFlags(int flags) {
  // GIO ignores SIGPIPE process-wide once it makes a socket, and an ignored
  // signal would stay ignored in the child: caught again, it is reset by the exec.
  catchFatalIoSignals();
  if (markDescriptorsCloseOnExec()) flags |= G_SPAWN_LEAVE_DESCRIPTORS_OPEN;
  return static_cast<GSpawnFlags>(flags);
}

}  // namespace

std::optional<pid_t> startProcess(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  GError* error = nullptr;
  GPid pid = 0;
  gboolean ok = g_spawn_async(nullptr, argv.data(), nullptr,
                              spawnFlags(G_SPAWN_CHILD_INHERITS_STDIN | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                              nullptr, &pid, &error);
  if (error) g_error_free(error);
  if (!ok) return std::nullopt;
  return pid;
}

int waitForProcess(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

bool hasEnded(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno != EINTR;
  return info.si_pid == pid;
}

namespace {

struct ToolWait {
  ToolRun* run;
  const ToolLimits* limits;
  GSource* check = nullptr;
  GPid pid = 0;
  bool exited = false;
};

gboolean onToolSignal(gpointer data) {
  auto* wait = static_cast<ToolWait*>(data);
  wait->run->interrupted = true;
  if (wait->pid > 0 && !wait->exited) kill(wait->pid, SIGKILL);
  return G_SOURCE_CONTINUE;
}

// The limits' checks come when they ask for the next one, not on a fixed
// beat: a wake-up every few tens of milliseconds all through a long
// unpacking costs the tool its CPU now and then on a busy machine.
gboolean onToolCheck(gpointer data) {
  auto* wait = static_cast<ToolWait*>(data);
  g_source_set_ready_time(wait->check, -1);
  if (wait->exited || wait->run->stopped) return G_SOURCE_CONTINUE;
  if (std::optional<double> seconds = wait->limits->keepGoing()) {
    g_source_set_ready_time(wait->check, g_get_monotonic_time() + static_cast<gint64>(*seconds * G_USEC_PER_SEC));
    return G_SOURCE_CONTINUE;
  }
  wait->run->stopped = true;
  if (wait->pid > 0) kill(wait->pid, SIGKILL);
  return G_SOURCE_CONTINUE;
}

gboolean dispatchCheck(GSource*, GSourceFunc callback, gpointer data) { return callback(data); }
GSourceFuncs checkFuncs = {nullptr, nullptr, dispatchCheck, nullptr, nullptr, nullptr};

// The child's file-size limit, set in this process for the moment of the
// spawn (a child inherits it as it starts) and put back at once: a set-up
// in the child would make GLib fork. No other thread writes a large file
// then, and a write that met the limit would fail with EFBIG (SIGXFSZ is
// caught) rather than end the process.
class ChildFileSizeLimit {
 public:
  explicit ChildFileSizeLimit(uint64_t maxFileBytes) {
    if (maxFileBytes == 0 || getrlimit(RLIMIT_FSIZE, &saved_) != 0) return;
    if (saved_.rlim_cur != RLIM_INFINITY && saved_.rlim_cur <= maxFileBytes) return;  // only ever lowered
    struct rlimit lowered = saved_;
    lowered.rlim_cur = maxFileBytes;
    lowered_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~ChildFileSizeLimit() {
    if (lowered_) setrlimit(RLIMIT_FSIZE, &saved_);
  }
  ChildFileSizeLimit(const ChildFileSizeLimit&) = delete;
  ChildFileSizeLimit& operator=(const ChildFileSizeLimit&) = delete;

 private:
  struct rlimit saved_ {};
  bool lowered_ = false;
};

void onToolExit(GPid, gint status, gpointer data) {
  auto* wait = static_cast<ToolWait*>(data);
  wait->run->waitStatus = status;
  wait->exited = true;
}

// Without PATH GLib would also search the working directory.
const char kDefaultPath[] = "/usr/bin:/bin";

}  // namespace

std::optional<std::string> findTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : kDefaultPath;
  for (size_t begin = 0;;) {
    size_t end = dirs.find(':', begin);
    std::string dir = dirs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;  // an empty entry is the working directory
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos) return std::nullopt;
    begin = end + 1;
  }
}

ToolRun runTool(const std::vector<std::string>& argv, const std::vector<std::string>& unset, int fd3,
                const ToolLimits& limits) {
  ToolRun run;
  if (argv.empty()) return run;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  gchar** envp = g_get_environ();
  for (const auto& name : unset) envp = g_environ_unsetenv(envp, name.c_str());
  envp = g_environ_setenv(envp, "PATH", kDefaultPath, FALSE);

  // A context of our own: waiting here runs none of the main loop's sources.
  GMainContext* context = g_main_context_new();
  ToolWait wait{&run, &limits};
  std::vector<GSource*> sources;
  auto attach = [&](GSource* source, GSourceFunc callback) {
    g_source_set_callback(source, callback, &wait, nullptr);
    g_source_attach(source, context);
    sources.push_back(source);
  };
  // Watched before the start, so that a signal during it is not missed.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) attach(g_unix_signal_source_new(sig), onToolSignal);

  const gint source[] = {fd3}, target[] = {3};
  gsize fdCount = fd3 >= 0 ? 1 : 0;
  // A path is run as it is; only a bare name is looked up.
  int search = argv[0].find('/') == std::string::npos ? G_SPAWN_SEARCH_PATH_FROM_ENVP : 0;
  GPid pid = 0;
  GError* error = nullptr;
  bool spawned;
  {
    ChildFileSizeLimit fileSizeLimit(limits.maxFileBytes);
    spawned = g_spawn_async_with_pipes_and_fds(
        nullptr, args.data(), envp, spawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDIN_FROM_DEV_NULL | search),
        nullptr, nullptr, -1, -1, -1, source, target, fdCount, &pid, nullptr, nullptr, nullptr, &error);
  }
  if (spawned) {
    run.started = true;
    wait.pid = pid;
    attach(g_child_watch_source_new(pid), G_SOURCE_FUNC(onToolExit));
    if (limits.keepGoing) {
      wait.check = g_source_new(&checkFuncs, sizeof(GSource));
      g_source_set_ready_time(wait.check, 0);  // at once
      attach(wait.check, onToolCheck);
    }
    while (!wait.exited) g_main_context_iteration(context, TRUE);
    g_spawn_close_pid(pid);
  }
  for (GSource* s : sources) {
    g_source_destroy(s);
    g_source_unref(s);
  }
  g_main_context_unref(context);
  g_strfreev(envp);
  if (error) g_error_free(error);
  return run;
}

}  // namespace platform
