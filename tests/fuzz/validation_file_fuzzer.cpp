// The validation file against any contents and tag: a tag matches exactly
// when it is non-empty and equals the first line; a recorded tag is stored
// byte for byte and found again unless it holds a newline.
// Input: a flags byte (bit 0: the directory is given with a trailing "/"),
// two bytes of tag length (little endian, cut to what is left), the tag,
// then the file's contents.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "provisioning/validation_file.h"

namespace {
std::string dir, file;

std::string readRaw() {
  std::ostringstream buffer;
  buffer << std::ifstream(file, std::ios::binary).rdbuf();
  return buffer.str();
}
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

  if (isCacheValid(given, tag) != (!tag.empty() && content.substr(0, content.find('\n')) == tag)) std::abort();
  writeValidationString(given, tag);
  if (readRaw() != (tag.empty() ? content : tag)) std::abort();  // an empty tag leaves the file alone
  if (isCacheValid(given, tag) != (!tag.empty() && tag.find('\n') == std::string::npos)) std::abort();
  removeValidationString(given);
  if (access(file.c_str(), F_OK) == 0 || isCacheValid(given, tag)) std::abort();
  return 0;
}
