// SPDX-License-Identifier: GPL-2.0-or-later
// Random access into Deflated entries through access points: restart states
// recorded at deflate block boundaries while an entry is inflated forward.
// Internal to pack/; PackSet (pack_entry_reader.h) is its one user.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pack/pack_entry_reader.h"
#include "pack/pack_internal.h"

namespace pack_internal {

// Output bytes a deflate stream may refer back to: what a point keeps.
inline constexpr size_t kWindowBytes = 32768;

// A place to start inflating in the middle of a stream: the first block
// that begins at or after `out` bytes of output.
struct AccessPoint {
  uint64_t out = 0;  // bytes of output before the point
  uint64_t in = 0;   // bytes of the zlib stream taken before the point
  int bits = 0;      // high bits of the byte at in - 1 that belong to the block
  std::vector<uint8_t> window;  // the output before `out`, up to 32 KiB
};

// What is known of one Deflated entry.
struct DeflatedIndex {
  uint64_t span = 0;                // output bytes between points, at least
  std::vector<AccessPoint> points;  // ascending by `out`; the stream start is implied
  bool verified = false;            // inflated whole once to its recorded size
  std::string failure;              // why the entry failed; later reads fail alike
  uint64_t lastUse = 0;
};

// A live zlib inflate stream over one entry, kept between reads so that a
// reader that goes forward carries on where it stopped.
struct InflateCursor {
  InflateCursor() = default;
  InflateCursor(const InflateCursor&) = delete;
  InflateCursor& operator=(const InflateCursor&) = delete;
  ~InflateCursor();

  z_stream z{};
  bool ready = false;     // z set up (inflateInit2)
  size_t entry = SIZE_MAX;  // the entry it is over, SIZE_MAX when free
  uint64_t out = 0;       // output bytes produced so far
  uint64_t fed = 0;       // stream bytes handed to zlib so far
  bool ended = false;     // the stream's end was reached
  uint64_t lastUse = 0;
  std::vector<uint8_t> input;
};

// The access points of every Deflated entry of a set, within `limits`.
struct AccessPointState {
  AccessPointLimits limits;
  std::unordered_map<size_t, DeflatedIndex> entries;  // by the entry's index in the set
  std::vector<std::unique_ptr<InflateCursor>> cursors;
  std::vector<uint8_t> discard;  // output before a read's offset goes here
  uint64_t bytes = 0;            // held by the points of all entries
  uint64_t clock = 0;            // for least recently used
};

// Inflates the Deflated entry `entry` (number `key` in the set) of `pack`
// once whole, checking its stream and its recorded size, and records its
// access points. Returns 0 (at once when done before), or -2 (-1 for
// memory) with `reason` set; once failed, the entry fails again at once.
[[nodiscard]] int VerifyDeflated(AccessPointState& state, size_t key, PackHandle& pack, const DirectoryEntry& entry,
                                 std::string* reason);

// Reads up to `size` bytes of the entry's output at `offset`, starting from
// the live cursor or the nearest access point before it, and recording
// points beyond the last one as it goes. Returns 0 with *got set, or -2/-1.
// REQUIRES: VerifyDeflated of the entry returned 0.
[[nodiscard]] int ReadDeflated(AccessPointState& state, size_t key, PackHandle& pack, const DirectoryEntry& entry,
                               uint64_t offset, uint8_t* buffer, size_t size, size_t* got, std::string* reason);

}  // namespace pack_internal
