#include "platform/task.h"

#include <glib.h>
#include <sys/wait.h>

#include <cerrno>

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

}  // namespace platform
