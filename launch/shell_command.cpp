#include "launch/shell_command.h"

#include <cstdlib>
#include <cstring>

namespace {

// Bytes that never mean anything to the shell, wherever they stand in a word.
bool isPlain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("_-./,:+=@%", c) != nullptr || c >= 0x80;
}

}  // namespace

std::string smart_quote(const std::string& text) {
  bool plain = true;
  for (unsigned char c : text) plain = plain && isPlain(c);
  if (plain) return text;
  std::string quoted = "\"";
  for (char c : text) {
    // Inside double quotes only these four keep a meaning.
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string shell_word(const std::string& argument) {
  return argument.empty() ? std::string("\"\"") : smart_quote(argument);
}

std::string argv2cmdline(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) line += shell_word(argv[i]) + ' ';
  return line;
}

int call_system(const std::string& /*program*/, const std::string& commandLine) {
  return std::system(commandLine.c_str());
}
