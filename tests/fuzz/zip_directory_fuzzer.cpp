// An archive's central directory read from any bytes: nothing is read or written out of bounds (ASan), the
// descriptor's offset is left where it was for unzip, and the same bytes give the same answer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "provisioning/zip_directory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("archive", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) std::abort();
  std::optional<platform::TreeTotals> first = declaredTotals(fd, 1000), again = declaredTotals(fd, 1000);
  if (lseek(fd, 0, SEEK_CUR) != 0 || first.has_value() != again.has_value()) std::abort();
  if (first && (first->bytes != again->bytes || first->entries != again->entries)) std::abort();
  if (first && first->entries > 1000 && first->bytes != 0) std::abort();  // past the cap, the count alone
  close(fd);
  return 0;
}
