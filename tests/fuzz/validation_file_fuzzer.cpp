// The validation file against arbitrary contents and tags: a tag matches
// exactly when it is non-empty and equals the file's first line, and a
// recorded tag is stored byte for byte and found again unless it holds a
// newline.
//
// Input: one flags byte (bit 0: the directory is given with a trailing
// "/"), two bytes of tag length (little endian, cut to what is left), the
// tag, then the file's contents.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "provisioning/validation_file.h"

namespace {

std::string dir;
std::string file;

void removeDir() {
  unlink(file.c_str());
  rmdir(dir.c_str());
}

void writeRaw(const std::string& content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) std::abort();
}

bool readRaw(std::string* content) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *content = buffer.str();
  return true;
}

[[noreturn]] void fail(const char* what, const std::string& tag, const std::string& content) {
  std::fprintf(stderr, "validation file: %s\ntag (%zu bytes), contents (%zu bytes)\n", what, tag.size(),
               content.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/validation-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  dir = tmpl;
  file = dir + "/.validatestring";
  std::atexit(removeDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return -1;
  bool trailingSlash = data[0] & 1;
  size_t tagLength = data[1] | (static_cast<size_t>(data[2]) << 8);
  const char* rest = reinterpret_cast<const char*>(data + 3);
  size_t left = size - 3;
  if (tagLength > left) tagLength = left;
  std::string tag(rest, tagLength);
  std::string content(rest + tagLength, left - tagLength);
  std::string given = trailingSlash ? dir + "/" : dir;

  writeRaw(content);
  std::string firstLine = content.substr(0, content.find('\n'));
  bool expected = !tag.empty() && firstLine == tag;
  if (isCacheValid(given, tag) != expected) fail(expected ? "matching tag refused" : "tag accepted wrongly", tag, content);

  writeValidationString(given, tag);
  std::string stored;
  if (!readRaw(&stored)) fail("file gone after writing", tag, content);
  if (stored != (tag.empty() ? content : tag))
    fail(tag.empty() ? "an empty tag changed the file" : "tag not stored byte for byte", tag, content);
  bool oneLine = tag.find('\n') == std::string::npos;
  if (isCacheValid(given, tag) != (!tag.empty() && oneLine))
    fail("recorded tag not found again", tag, content);

  removeValidationString(given);
  if (readRaw(&stored)) fail("file still there after removing", tag, content);
  if (isCacheValid(given, tag)) fail("valid without a file", tag, content);
  return 0;
}
