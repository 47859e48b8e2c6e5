// Building and running shell command lines. Every value that goes into a
// command line passes through smart_quote, so the shell hands it on byte for
// byte as one word and never interprets it.
#pragma once

#include <string>

// Text without shell-special characters stands bare; otherwise it is put in
// double quotes with ", \, $ and ` escaped. The empty string stays empty.
std::string smart_quote(const std::string& text);

// One argument as one shell word: smart_quote, and "" for the empty string.
std::string shell_word(const std::string& argument);

// argv[1..argc-1], each quoted and followed by one space; an empty argument
// becomes "" so that it still arrives as one (empty) argument.
std::string argv2cmdline(int argc, const char* const* argv);

// Runs the command line with /bin/sh and waits: the shell's wait status, or
// -1 when no shell could be started. `program` only documents the call.
int call_system(const std::string& program, const std::string& commandLine);
