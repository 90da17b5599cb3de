// SPDX-License-Identifier: GPL-2.0-or-later
// The bit-level file layer under the TwinVQ frames: a process-wide pool of
// 50 bitstreams, each with a 1024-byte block buffer over a borrowed file.
//
// Bits move between the file and memory only in whole blocks (the last
// written block excepted); in memory every bit is handled singly. Bit k of a
// block is bit 7 - k % 8 of byte k / 8, so a field's most significant bit
// comes first. A reading bitstream reads its blocks at its own position, so
// that others may use the file between its reads; a writing one writes at
// the file's position. Single-threaded: the pool is unguarded.
//
// Two limits end the process with exit status 1 after a line on standard
// error: a 51st bitstream open at once, and a field wider than 32 bits read.
#pragma once

#include <cstdint>

#include "platform/platform.h"

inline constexpr int kBitstreamBlockBytes = 1024;
inline constexpr int kBitstreamBlockBits = 8 * kBitstreamBlockBytes;
inline constexpr int kBitstreamPoolSize = 50;
inline constexpr int kBitstreamRead = 1;
inline constexpr int kBitstreamWrite = 2;
// Widest field get_bstm and write_bstm move.
inline constexpr int kBitstreamMaxField = 32;

struct BitstreamFile {
  int32_t bitPosition = 0;  // next bit of `buffer`, 0 to 8191
  int32_t validBits = 0;    // reading: bits of `buffer` that came from the file
  int32_t filled = 0;       // reading: 1 while `buffer` holds the current block
  uint8_t buffer[kBitstreamBlockBytes] = {};
  int32_t mode = 0;                 // kBitstreamRead or kBitstreamWrite
  platform::File* file = nullptr;   // borrowed: closing never closes it
  int32_t slot = 0;                 // index of the record in the pool
  int64_t readPosition = 0;         // reading: file position of the next block
  int64_t readEnd = 0;              // reading: file position no block read passes
  bool readFailed = false;          // reading: a block could not be read (readError holds errno)
  int readError = 0;
  bool writeFailed = false;         // writing: a block did not reach the file whole
};

// Takes the lowest free slot of the pool, or ends the process when all 50
// are in use ("tealloc(): File number exceeds upper limit.").
[[nodiscard]] BitstreamFile* tealloc();

// Frees the slot of `bitstream`.
void terelease(BitstreamFile* bitstream);

// Starts a bitstream at `file`'s current position in `mode`; reads and
// writes nothing yet. A reading bitstream never reads at or past the file
// position `readEnd` (-1: up to the end of the file as it is now), and
// leaves the file's position alone.
[[nodiscard]] BitstreamFile* open_bstm(platform::File* file, int mode, int64_t readEnd = -1);

// In write mode, writes the bytes of the partial last block (unused low bits
// zero); then frees the slot. The file stays open. Returns false when a
// block of this bitstream could not be written whole.
bool close_bstm(BitstreamFile* bitstream);

// Reads up to `n` bits, one bit (0 or 1) per byte of `bits`. Returns the
// bits read: fewer than `n` only at the end of the file or of the window,
// or after a block that could not be read (readFailed), which ends the
// stream too.
int read_bits(uint8_t* bits, int n, BitstreamFile* bitstream);

// Writes `n` bits, the lowest bit of each byte of `bits`.
void write_bits(const uint8_t* bits, int n, BitstreamFile* bitstream);

// Reads a field of `width` bits (0 to 32) into *value, most significant bit
// first; bits past the end read as 0. Returns the bits actually read. A
// width above 32 (or negative) ends the process ("get_bstm(): %d: %d Error.").
int get_bstm(int32_t* value, int width, BitstreamFile* bitstream);

// Writes the low `width` bits of `value`, most significant first. Returns 1
// when `value` does not fit (value >= 2^width), else 0. A width above 32
// writes zero bits before the 32 bits of `value`; a negative width writes
// nothing.
int write_bstm(int32_t value, int width, BitstreamFile* bitstream);
