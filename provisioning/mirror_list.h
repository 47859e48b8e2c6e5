// An organisation's own download mirrors: base addresses an administrator
// lists in a system file, asked after the primary address when it fails.
#pragma once

#include <string>
#include <vector>

#include "hostenv/report.h"

struct MirrorList {
  std::vector<std::string> bases;    // in the file's order
  std::vector<std::string> skipped;  // lines that are not a base address, comment and blanks removed
};

// The file's text: one base address a line; '#' starts a comment, blanks
// (spaces, tabs, a CR line end) around an address and empty lines do not count.
MirrorList parseMirrorList(const std::string& text);
// "http://" or "https://", a host, maybe more, ending in '/'; no blank or
// control byte anywhere.
bool isBaseAddress(const std::string& text);
// "/etc/<the cache folder's name without its leading dot>/mirrors".
std::string organisationMirrorsPath();
// The administrator's list. Nothing, silently, when there is no file;
// nothing and one line to `callback` when the file is not root's alone (see
// platform::trustedSystemFile) or cannot be read; one line for each line
// skipped. The bases it adds are one line in the system log.
std::vector<std::string> organisationMirrors(ErrorCallback callback,
                                             const std::string& path = organisationMirrorsPath());
