// SPDX-License-Identifier: GPL-2.0-or-later
// Deflating one entry's bytes into one zlib stream at the entries' level, on several
// threads when the input is longer than one block. Internal to the pack
// module (the writer uses it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "pack/pack_internal.h"

namespace pack_internal {

// Input bytes per independently deflated block. An input of at most one
// block is deflated as a single ordinary stream.
inline constexpr size_t kDeflateBlockBytes = size_t{1} << 20;

struct DeflateIo {
  // Fills up to `capacity` bytes; returns the bytes read, 0 at the end, -1
  // when the source cannot be read.
  std::function<int64_t(uint8_t* buffer, size_t capacity)> read;
  // Takes the next piece of the zlib stream; false stops the stream.
  std::function<bool(const uint8_t* data, size_t size)> write;
};

enum class DeflateOutcome { kDone, kReadFailed, kStopped, kNoMemory, kTooLarge };

// Deflates everything `io.read` gives into `io.write`, with *unpacked set
// to the input bytes read. An input of one block or less goes through
// `single` as one stream. A longer one is cut into blocks of
// kDeflateBlockBytes, each deflated raw on its own with the 32 KiB before
// it as its dictionary and ended on a byte boundary by a sync flush (the
// last one by the end of the stream), and joined behind one zlib header
// with the Adler-32 of the whole input: any zlib inflates it, and the bytes
// do not depend on `threads`, the most blocks deflated at once. More than
// `maxInput` bytes of input give kTooLarge.
[[nodiscard]] DeflateOutcome DeflateStream(Deflater& single, const DeflateIo& io, int threads, uint64_t maxInput,
                                           uint64_t* unpacked);

}  // namespace pack_internal
