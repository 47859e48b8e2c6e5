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

#include "platform/process_env.h"

namespace platform {

std::optional<pid_t> startProcess(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  GError* error = nullptr;
  GPid pid = 0;
  // Descriptors other than the standard three are closed in the child.
  gboolean ok = g_spawn_async(nullptr, argv.data(), nullptr,
                              static_cast<GSpawnFlags>(G_SPAWN_CHILD_INHERITS_STDIN | G_SPAWN_DO_NOT_REAP_CHILD),
                              [](gpointer) { restoreFatalIoSignals(); }, nullptr, &pid, &error);
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
  if (wait->pid > 0 && !wait->exited) kill(-wait->pid, SIGKILL);
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
  if (wait->pid > 0) kill(-wait->pid, SIGKILL);
  return G_SOURCE_CONTINUE;
}

gboolean dispatchCheck(GSource*, GSourceFunc callback, gpointer data) { return callback(data); }
GSourceFuncs checkFuncs = {nullptr, nullptr, dispatchCheck, nullptr, nullptr, nullptr};

// In the child, before exec: a group of its own, and its file-size limit.
void setUpChild(gpointer data) {
  setpgid(0, 0);
  auto maxFileBytes = *static_cast<const uint64_t*>(data);
  struct rlimit limit;
  if (maxFileBytes > 0 && getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
      (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > maxFileBytes)) {
    limit.rlim_cur = maxFileBytes;  // only ever lowered
    setrlimit(RLIMIT_FSIZE, &limit);
  }
}

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
  auto flags = static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH_FROM_ENVP |
                                        G_SPAWN_STDIN_FROM_DEV_NULL);
  GPid pid = 0;
  GError* error = nullptr;
  uint64_t maxFileBytes = limits.maxFileBytes;
  if (g_spawn_async_with_pipes_and_fds(nullptr, args.data(), envp, flags, setUpChild, &maxFileBytes, -1, -1, -1,
                                       source, target, fdCount, &pid, nullptr, nullptr, nullptr, &error)) {
    run.started = true;
    setpgid(pid, pid);  // here too: a signal may come before the child has done it
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
