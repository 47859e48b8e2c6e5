// The validation file against any contents and tag, by its properties: the two readers agree, what is written
// is found again (unless it holds a newline) and nothing that differs is, and an empty tag changes nothing.
// Input: a flags byte (bit 0: the directory is given with a trailing "/"), two bytes of tag length (little
// endian, cut to what is left), the tag, then the file's contents.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "provisioning/validation_file.h"

namespace {
std::string dir, file;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/validation-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  dir = tmpl;
  file = dir + "/.validatestring";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return -1;
  std::string given = data[0] & 1 ? dir + "/" : dir;
  size_t tagLength = std::min<size_t>(data[1] | data[2] << 8, size - 3);
  std::string tag(reinterpret_cast<const char*>(data) + 3, tagLength);
  std::string content(reinterpret_cast<const char*>(data) + 3 + tagLength, size - 3 - tagLength);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;

  // The two readers agree: a tag that validates is the one recorded, and
  // never empty or more than one line.
  if (isCacheValid(given, tag) &&
      (tag.empty() || tag.find('\n') != std::string::npos || readValidationString(given) != tag))
    std::abort();
  writeValidationString(given, tag);
  if (tag.empty()) {
    std::ostringstream raw;
    raw << std::ifstream(file, std::ios::binary).rdbuf();
    if (raw.str() != content) std::abort();  // an empty tag leaves the file alone
  } else if (tag.find('\n') == std::string::npos) {
    // What was written validates, and nothing that differs by a byte does.
    if (!isCacheValid(given, tag) || readValidationString(given) != tag) std::abort();
    if (isCacheValid(given, tag + "x") || isCacheValid(given, tag.substr(0, tag.size() - 1))) std::abort();
  } else if (isCacheValid(given, tag)) {
    std::abort();  // a tag holding a newline is never found again
  }
  removeValidationString(given);
  if (access(file.c_str(), F_OK) == 0 || isCacheValid(given, tag)) std::abort();
  return 0;
}
