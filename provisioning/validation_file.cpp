#include "provisioning/validation_file.h"

#include <sys/stat.h>

#include <cstdio>

#include "provisioning/build_constants.h"

namespace {
std::string validationPath(const std::string& directory) {
  return directory + pathSeparator + validationFileName;
}
}  // namespace

bool isCacheValid(std::string directory, std::string tag) {
  if (!directory.empty() && tag.empty()) return false;
  std::string path = validationPath(directory);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  // Read no more than one byte past the tag: a longer first line cannot match.
  std::string line;
  int c;
  while (line.size() <= tag.size() && (c = std::fgetc(f)) != EOF && c != '\n')
    line += static_cast<char>(c);
  std::fclose(f);
  return line == tag;
}

void writeValidationString(std::string directory, std::string tag) {
  if (directory.empty() || tag.empty()) return;
  FILE* f = std::fopen(validationPath(directory).c_str(), "w");
  if (!f) return;
  std::fwrite(tag.data(), 1, tag.size(), f);
  std::fclose(f);
}

void removeValidationString(std::string directory) {
  std::remove(validationPath(directory).c_str());
}
