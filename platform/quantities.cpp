#include "platform/quantities.h"

#include <glib.h>

#include <algorithm>
#include <chrono>

namespace platform {

std::string formatByteCount(int64_t bytes) {
  gchar* text = g_format_size(static_cast<guint64>(std::max<int64_t>(bytes, 0)));
  std::string result = text;
  g_free(text);
  return result;
}

double monotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace platform
