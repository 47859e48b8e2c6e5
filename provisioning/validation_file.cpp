#include "provisioning/validation_file.h"

#include <algorithm>
#include <cstdio>

#include "platform/file_manager.h"
#include "provisioning/build_constants.h"

namespace {
// One separator, whether or not the directory ends with one (the cache's does).
std::string validationPath(const std::string& directory) {
  bool ends = !directory.empty() && directory.back() == pathSeparator[0];
  return directory + (ends ? "" : pathSeparator) + validationFileName;
}

// The first line, read up to `limit` bytes; nothing when the file cannot be read.
std::optional<std::string> readFirstLine(const std::string& directory, size_t limit) {
  std::optional<std::string> text = platform::readSmallFile(validationPath(directory), limit);
  if (text) text->erase(std::min(text->find('\n'), text->size()));
  return text;
}

// A tag is a header value: nothing longer is ever recorded by us.
constexpr size_t kMaxTagLength = 8192;

}  // namespace

bool isCacheValid(std::string directory, std::string tag) {
  if (!directory.empty() && tag.empty()) return false;
  // Read no more than one byte past the tag: a longer first line cannot match.
  std::optional<std::string> line = readFirstLine(directory, tag.size() + 1);
  return line && *line == tag;
}

std::optional<std::string> readValidationString(std::string directory) {
  std::optional<std::string> line = readFirstLine(directory, kMaxTagLength + 1);
  if (!line || line->empty() || line->size() > kMaxTagLength) return std::nullopt;
  return line;
}

void writeValidationString(std::string directory, std::string tag) {
  if (directory.empty() || tag.empty()) return;
  platform::replaceFile(validationPath(directory), tag);
}

void removeValidationString(std::string directory) {
  std::remove(validationPath(directory).c_str());
}
