// Unpacking an agent archive with the system's unzip tool.
#pragma once

#include <optional>
#include <string>

#include "hostenv/report.h"
#include "platform/file_manager.h"
#include "platform/result.h"

enum class UnzipCode {
  Ok,
  NoArchive,        // nothing at the path: said by nobody
  NoUnzip,          // the tool is not installed
  OverLimits,       // its totals would not fit
  Failed,           // unzip failed, or was stopped: "Failed to unzip the install agent" was said
  NoInstallScript,  // it unpacked and is not an agent (the archive's own fault, the same at every try)
};
using UnzipStatus = platform::Status<UnzipCode>;

// Unpacks the agent archive open on `archiveFd` (a regular file) into
// `destination` (created when missing) with the system's unzip, and checks that it brought its install script: what was
// checked through that descriptor is what is unpacked. NoInstallScript
// carries checkInstallScript's line, which nobody has said yet; every
// other failure was said through `callback`. Before unpacking, the
// totals its central directory declares are read, and an archive that
// would not fit (see checkUnpacked) is refused with a message naming the
// sizes; what unzip writes is bounded all the same. unzip runs
// without the environment variables that change its options; a termination
// signal ends it, and the unpacking has failed then. A tree to be kept is
// written to disk while unzip still runs, so that its sync afterwards is short.
enum class Unpacked { Temporary, Kept };
UnzipStatus unpackAgentArchive(int archiveFd, const std::string& destination, ErrorCallback callback,
                               Unpacked kind = Unpacked::Temporary);
// The same for the archive at `path`; NoArchive, unsaid, when there is none.
UnzipStatus unpackAgentArchive(const std::string& path, const std::string& destination, ErrorCallback callback);

// Whether unzip is there to be run, asked before anything is fetched or
// unpacked; NoUnzip with the line for the user when not.
UnzipStatus unzipInstalled();

struct ArchiveLimits {
  unsigned long long maxBytes = 0;    // unpacked, in all
  unsigned long long maxEntries = 0;
  unsigned long long freeBytes = 0;   // on the destination's file system
  std::string freeOn;                 // the directory that was measured
};

// Why an archive of `totals` must not be unpacked within `limits`
// (OverLimits); Ok when it may. `measured`: counted on disk while unzip
// ran, so perhaps only part of the truth; else what the archive declares.
UnzipStatus checkUnpacked(const platform::TreeTotals& totals, const ArchiveLimits& limits, bool measured);
// While unzip runs, having written `totals` so far: seconds until they are
// counted again, nothing when they are past `limits` already. Never longer
// than unzip at its fastest needs to reach a limit, never shorter than
// 50 ms: a limit is passed by at most 50 ms of writing, however long the
// unpacking.
std::optional<double> secondsToNextCheck(const platform::TreeTotals& totals, const ArchiveLimits& limits);
