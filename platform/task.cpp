#include "platform/task.h"

#include <glib.h>

#include "platform/process_env.h"

namespace platform {

bool launchDetached(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  GError* error = nullptr;
  // Without DO_NOT_REAP_CHILD GLib detaches the child through an intermediate
  // process, so it is reaped by init; descriptors other than the standard
  // three are closed in the child, and it gets the usual signal defaults.
  gboolean ok = g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_CHILD_INHERITS_STDIN,
                              [](gpointer) { restoreFatalIoSignals(); }, nullptr, nullptr, &error);
  if (error) g_error_free(error);
  return ok;
}

}  // namespace platform
