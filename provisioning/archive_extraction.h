// Unpacking an agent archive with the system's unzip tool.
#pragma once

#include <optional>
#include <string>

#include "hostenv/report.h"
#include "platform/file_manager.h"

// True when `unzipProgram` unpacked `archive` into `destination` (created
// when missing). A missing archive is false without a message. Before
// unpacking, the archive's totals are read with `unzipProgram -Zt` where
// it can, and an archive that would not fit (see checkArchiveTotals) is
// refused with a message naming the sizes; what unzip writes is bounded
// all the same. unzip runs without the environment variables
// that change its options, in a process group of its own that a termination
// signal ends; the unpacking has failed then.
bool unzipInstallAgent(const std::string& archive, const std::string& destination,
                       const std::string& unzipProgram, ErrorCallback callback);

// The same for an archive already open on `archiveFd` (a regular file):
// what was checked through that descriptor is what is unpacked.
bool unzipOpenArchive(int archiveFd, const std::string& destination, const std::string& unzipProgram,
                      ErrorCallback callback);

// Whether `unzipProgram` is there to be run; reported through `callback`
// (as unzipMissing says) when not, before anything is fetched or unpacked.
bool unzipIsInstalled(const std::string& unzipProgram, ErrorCallback callback);
std::string unzipMissing(const std::string& unzipProgram);

struct ArchiveLimits {
  unsigned long long maxBytes = 0;    // unpacked, in all
  unsigned long long maxEntries = 0;
  unsigned long long freeBytes = 0;   // on the destination's file system
  std::string freeOn;                 // the directory that was measured
};

// Why an archive whose totals line (as `unzip -Zt` ends: "3 files, 1234
// bytes uncompressed, 567 bytes compressed:  54.1%") is this must not be
// unpacked within `limits`; empty when it may, or when the line gives no
// totals (they are then left to the bounds while unpacking).
std::string checkArchiveTotals(const std::string& totalsLine, const ArchiveLimits& limits);
// The same for totals counted on disk (`measured`: while unzip ran, so
// perhaps only part of the truth).
std::string checkUnpacked(const platform::TreeTotals& totals, const ArchiveLimits& limits, bool measured);
// While unzip runs, having written `totals` so far: seconds until they are
// counted again, nothing when they are past `limits` already. Never longer
// than unzip at its fastest needs to reach a limit, never shorter than
// 50 ms: a limit is passed by at most 50 ms of writing, however long the
// unpacking.
std::optional<double> secondsToNextCheck(const platform::TreeTotals& totals, const ArchiveLimits& limits);
