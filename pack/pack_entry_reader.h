// SPDX-License-Identifier: GPL-2.0-or-later
// Random access to the entries of a pack set, for readers that serve an
// entry's bytes where they are asked for (spoolpack mount) instead of
// writing every entry out.
//
// The packs of a set are opened read-only and their directories listed
// once, with the names extract gives the files and the same refusals: a
// name that would leave the destination, names none, or is too long is left
// out, and so is a name that passes through a file of an earlier entry or
// names a folder of one. Of two entries of one name the later in run order
// (APAK, UPAK, ZPAK; then directory order) is kept, the file extract leaves
// in place.
//
// Stored entries are read in place. Deflated entries are inflated once whole
// on first use (which checks their zlib stream, its Adler-32 trailer and the
// recorded size) while access points are recorded: every `span` bytes of
// output, at a deflate block boundary, the bit position in the stream and
// the 32 KiB of output before it, so that a later read starts at the
// nearest point instead of at the start. Audio entries are restored through
// ExtractEntry, which keeps their bytes those of extract.
//
// Not thread-safe: one caller at a time per PackSet (reads move the shared
// inflate state and the pack files' positions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pack/pack.h"

// One entry of a set as it lands under a destination.
struct SetEntry {
  std::string path;  // '/'-separated, no empty or "." parts
  PackKind kind = PackKind::kStored;
  std::string pack;  // the pack file holding it, as found
  DirectoryEntry record;
};

// Memory bounds of the access points of Deflated entries.
struct AccessPointLimits {
  uint64_t span = uint64_t{1} << 20;        // output bytes between points, at least
  size_t pointsPerEntry = 512;              // more output widens an entry's span
  uint64_t totalBytes = uint64_t{64} << 20;  // windows of all entries together
};

struct PackSet;
struct PackSetCloser {
  void operator()(PackSet* set) const;
};
using PackSetPtr = std::unique_ptr<PackSet, PackSetCloser>;

// Opens the packs of the set `pakname` (FindPackFile for each kind) read-only
// and lists their entries. Returns 0 with *set when at least one pack was
// opened, or -2 with `reason` set when none exists or none opens. `notes`
// receives one line for each pack that cannot be opened, each directory
// that ends in a broken record, and each entry left out (with why).
[[nodiscard]] int OpenPackSet(const std::string& pakname, PackSetPtr* set, std::vector<std::string>* notes,
                              std::string* reason, const AccessPointLimits& limits = {});

// The entries kept, in run order.
[[nodiscard]] const std::vector<SetEntry>& SetEntries(const PackSet& set);

// Makes entry `index` (Stored or Deflated) ready to read: its data must lie
// inside its pack, and a Deflated entry is inflated whole once (see above).
// Returns 0, or -2 (-1 for memory) with `reason` set; an entry that failed
// fails again at once. REQUIRES: index < SetEntries(set).size().
[[nodiscard]] int PrepareSetEntry(PackSet& set, size_t index, std::string* reason);

// Reads up to `size` bytes of entry `index` (Stored or Deflated) at `offset`
// bytes into its file. Returns 0 with *got set (fewer than `size` only at
// the end of the file), or -2 (-1 for memory) with `reason` set.
// REQUIRES: PrepareSetEntry of the entry returned 0.
[[nodiscard]] int ReadSetEntry(PackSet& set, size_t index, uint64_t offset, uint8_t* buffer, size_t size, size_t* got,
                               std::string* reason);

// For readers that move a Stored entry's bytes without copying them through
// a buffer: the pack file, read-only, holding the entry's data from
// *dataOffset bytes on. REQUIRES: a Stored entry that PrepareSetEntry
// accepted (its data lies inside the pack).
[[nodiscard]] platform::File& StoredEntryFile(PackSet& set, size_t index, uint64_t* dataOffset);

// Writes entry `index` to `output` exactly as ExtractEntry does (the way an
// Audio entry is restored). REQUIRES: index < SetEntries(set).size().
[[nodiscard]] int ExtractSetEntry(PackSet& set, size_t index, const EntryOutput& output, uint32_t* unpackedSize,
                                  std::string* reason);

// Bytes the access points of all Deflated entries hold now.
[[nodiscard]] uint64_t AccessPointBytes(const PackSet& set);
