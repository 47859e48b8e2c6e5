// The installer as a single file: its executable followed by its payload,
// everything the bundle's resource directory and module folder would hold
// (scripts/make-single-file writes it). Layout, from the file's start:
//
//   the executable     its data holds the record: the file's length, and the
//                      index's place and BLAKE2b-512 digest
//   the index          each part's name, place, length and digest
//   the parts          raw, one after the other (agent, its .minisig,
//                      splash, modules, ...)
//   bundle.zip         last, its offsets moved so that the whole file reads
//                      as that zip; its comment ends with the record again
//
// The record lives in the executable so that a download cut short still
// knows what it should have been. The digests guard against damage, not
// against an attacker, who could rewrite the whole file: shipped agents
// pass the signature gate as from any resource directory.
#pragma once

#include <cstddef>
#include <string>

#include "platform/result.h"
#include "provisioning/agent_trust.h"

// Whether this executable was made into a single file (the build filled in
// its record). False for the bundle's executable, which then skips the rest.
bool carriesPayload();

// The numbers are the status the run's last line names.
enum class PayloadCode { Ok = 0, Damaged = 1, CannotUnpack = 2 };

// Checks the single file at `path` (this executable) against its record and
// unpacks the payload into `directory`, a private one: each part becomes a
// file of its own (0600), hashed as it is written, and each part marked as a
// link (bundle.zip) a symbolic link to `path` itself. Nothing written stays
// when the file turns out damaged. Of bundle.zip only its directory (the
// zip's central directory and end records) is hashed: its contents are the
// agent's to read, and its entries carry their own checksums. The files
// written, with their digests, for the gate; else the line for the user.
platform::Result<WrittenFiles, PayloadCode> unpackPayload(const std::string& path, const std::string& directory);

// A part's name: a relative path of plain names (no "", ".", ".." or
// leading "/"), at most 255 bytes, so that it cannot leave the directory.
bool isPlainRelativePath(const std::string& name);

// The record's size, in the executable and at the file's end.
inline constexpr size_t kPayloadRecordSize = 128;
