// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio/vqf/vqf_bitstream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

BitstreamFile g_pool[kBitstreamPoolSize];
bool g_inUse[kBitstreamPoolSize];

// Reads the next block at the bitstream's position, stopping at the
// window's end. A failed or empty read leaves no valid bits: the end of the
// stream.
void ReadBlock(BitstreamFile& bs) {
  const int64_t want = std::clamp<int64_t>(bs.readEnd - bs.readPosition, 0, kBitstreamBlockBytes);
  int64_t got = 0;
  if (want > 0 && !bs.readFailed) {
    errno = 0;
    if (platform::ReadFileAt(*bs.file, bs.readPosition, bs.buffer, static_cast<size_t>(want))) {
      got = want;
    } else {
      bs.readFailed = true;
      bs.readError = errno;
    }
  }
  bs.readPosition += got;
  bs.validBits = static_cast<int32_t>(got * 8);
  bs.filled = 1;
}

// Writes the first `bytes` bytes of the block buffer, noting a short write.
void WriteBlock(BitstreamFile& bs, size_t bytes) {
  if (bytes == 0) return;
  if (platform::WriteFile(*bs.file, bs.buffer, bytes) != static_cast<int64_t>(bytes)) bs.writeFailed = true;
}

}  // namespace

BitstreamFile* tealloc() {
  for (int slot = 0; slot < kBitstreamPoolSize; ++slot) {
    if (!g_inUse[slot]) {
      g_inUse[slot] = true;
      g_pool[slot].slot = slot;
      return &g_pool[slot];
    }
  }
  std::fprintf(stderr, "tealloc(): File number exceeds upper limit.\n");
  std::exit(1);
}

void terelease(BitstreamFile* bitstream) {
  if (bitstream != nullptr) g_inUse[bitstream->slot] = false;
}

BitstreamFile* open_bstm(platform::File* file, int mode, int64_t readEnd) {
  BitstreamFile* bs = tealloc();
  bs->file = file;
  bs->mode = mode;
  if ((mode & kBitstreamRead) != 0) {
    bs->readPosition = std::max<int64_t>(platform::TellFile(*file), 0);
    const int64_t fileEnd = std::max<int64_t>(platform::FileSize(*file), 0);
    bs->readEnd = readEnd < 0 ? fileEnd : std::min(readEnd, fileEnd);
  }
  bs->readFailed = false;
  bs->readError = 0;
  bs->bitPosition = 0;
  bs->validBits = 0;
  bs->filled = 0;
  bs->writeFailed = false;
  std::memset(bs->buffer, 0, sizeof bs->buffer);
  return bs;
}

bool close_bstm(BitstreamFile* bitstream) {
  if (bitstream == nullptr) return true;
  if ((bitstream->mode & kBitstreamWrite) != 0) {
    WriteBlock(*bitstream, static_cast<size_t>((bitstream->bitPosition + 7) / 8));
  }
  const bool whole = !bitstream->writeFailed;
  terelease(bitstream);
  return whole;
}

int read_bits(uint8_t* bits, int n, BitstreamFile* bitstream) {
  BitstreamFile& bs = *bitstream;
  int count = 0;
  while (count < n) {
    if (bs.filled == 0) ReadBlock(bs);
    if (bs.bitPosition >= bs.validBits) break;
    // The bits left in this block, one at a time.
    const int run = std::min(n - count, bs.validBits - bs.bitPosition);
    int position = bs.bitPosition;
    for (const int end = count + run; count < end; ++count, ++position) {
      bits[count] = static_cast<uint8_t>((bs.buffer[position >> 3] >> (7 - (position & 7))) & 1);
    }
    bs.bitPosition = position;
    if (position == kBitstreamBlockBits) {
      bs.bitPosition = 0;
      bs.filled = 0;
    }
  }
  return count;
}

void write_bits(const uint8_t* bits, int n, BitstreamFile* bitstream) {
  BitstreamFile& bs = *bitstream;
  for (int k = 0; k < n; ++k) {
    if ((bits[k] & 1) != 0) bs.buffer[bs.bitPosition >> 3] |= static_cast<uint8_t>(0x80 >> (bs.bitPosition & 7));
    if (++bs.bitPosition == kBitstreamBlockBits) {
      WriteBlock(bs, kBitstreamBlockBytes);
      std::memset(bs.buffer, 0, sizeof bs.buffer);
      bs.bitPosition = 0;
    }
  }
}

int get_bstm(int32_t* value, int width, BitstreamFile* bitstream) {
  if (static_cast<unsigned>(width) > kBitstreamMaxField) {
    std::fprintf(stderr, "get_bstm(): %d: %d Error.\n", width, kBitstreamMaxField);
    std::exit(1);
  }
  uint8_t bits[kBitstreamMaxField] = {};
  const int got = read_bits(bits, width, bitstream);
  uint32_t v = 0;
  for (int k = 0; k < width; ++k) v = v << 1 | bits[k];
  *value = static_cast<int32_t>(v);
  return got;
}

int write_bstm(int32_t value, int width, BitstreamFile* bitstream) {
  if (width < 0) return 0;
  const int fits = width < 32 && (int64_t{1} << width) <= value ? 1 : 0;
  uint8_t bits[kBitstreamMaxField] = {};
  // Wider than 32: the bits above the value's own are zero.
  for (int extra = width - kBitstreamMaxField; extra > 0; extra -= kBitstreamMaxField) {
    write_bits(bits, std::min(extra, kBitstreamMaxField), bitstream);
  }
  const int own = std::min(width, kBitstreamMaxField);
  const auto pattern = static_cast<uint32_t>(value);
  for (int k = 0; k < own; ++k) bits[k] = static_cast<uint8_t>(pattern >> (own - 1 - k) & 1);
  write_bits(bits, own, bitstream);
  return fits;
}
