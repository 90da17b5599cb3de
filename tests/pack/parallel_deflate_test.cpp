// SPDX-License-Identifier: GPL-2.0-or-later
// Block deflate: whatever the threads, the same bytes, one zlib stream that
// plain zlib inflates to the input, within 0.5 % of one stream's size; an
// input of one block is the very stream a single deflate makes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "pack/pack_test_support.h"
#include "pack/parallel_deflate.h"

using namespace test_support;
using pack_internal::DeflateOutcome;
using pack_internal::kDeflateBlockBytes;

namespace {

// The zlib level of Deflated entries.
constexpr int kEntryLevel = 6;

// Deflates `input` on `threads`, fed in reads of at most 100000 bytes and
// stopped once the output reaches `stopAt` bytes.
DeflateOutcome DeflateAll(const Bytes& input, int threads, Bytes* output, uint64_t* unpacked, size_t stopAt = SIZE_MAX) {
  pack_internal::Deflater single;
  size_t at = 0;
  pack_internal::DeflateIo io;
  io.read = [&](uint8_t* buffer, size_t capacity) {
    const size_t n = std::min({capacity, input.size() - at, size_t{100000}});
    if (n > 0) std::memcpy(buffer, input.data() + at, n);
    at += n;
    return static_cast<int64_t>(n);
  };
  io.write = [&](const uint8_t* data, size_t size) {
    output->insert(output->end(), data, data + size);
    return output->size() < stopAt;
  };
  return pack_internal::DeflateStream(single, io, threads, UINT32_MAX, unpacked);
}

Bytes Inflated(const Bytes& stream, size_t size) {
  Bytes out(size + 1);
  uLongf length = out.size();
  EXPECT_EQ(uncompress(out.data(), &length, stream.data(), stream.size()), Z_OK);
  out.resize(length);
  return out;
}

TEST(ParallelDeflateTest, BlocksJoinIntoOneOrdinaryStream) {
  // Text with some noise, 2.5 blocks: three blocks, the last one short.
  Bytes input = Sample(kDeflateBlockBytes * 5 / 2);
  const Bytes noise = Sample(50000, false, 7);
  std::copy(noise.begin(), noise.end(), input.begin() + kDeflateBlockBytes);
  Bytes one;
  uint64_t unpacked = 0;
  ASSERT_EQ(DeflateAll(input, 1, &one, &unpacked), DeflateOutcome::kDone);
  EXPECT_EQ(unpacked, input.size());
  for (int threads : {2, 8}) {
    Bytes many;
    ASSERT_EQ(DeflateAll(input, threads, &many, &unpacked), DeflateOutcome::kDone);
    EXPECT_EQ(many, one) << threads;
  }
  EXPECT_EQ(Inflated(one, input.size()), input);
  const Bytes whole = Deflate(input, kEntryLevel);
  EXPECT_LE(static_cast<double>(one.size()), whole.size() * 1.005);

  // A stop asked for by the writer is the outcome, and nothing is written
  // after it.
  Bytes cut;
  EXPECT_EQ(DeflateAll(input, 2, &cut, &unpacked, 1000), DeflateOutcome::kStopped);
  EXPECT_LT(cut.size(), one.size());
}

TEST(ParallelDeflateTest, ShortInputsAreOneStreamAsBefore) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{70000}, kDeflateBlockBytes}) {
    const Bytes input = Sample(size);
    Bytes got;
    uint64_t unpacked = 0;
    ASSERT_EQ(DeflateAll(input, 4, &got, &unpacked), DeflateOutcome::kDone);
    EXPECT_EQ(got, Deflate(input, kEntryLevel)) << size;
  }
  // One byte past a block: two blocks, still one stream.
  const Bytes input = Sample(kDeflateBlockBytes + 1);
  Bytes got;
  uint64_t unpacked = 0;
  ASSERT_EQ(DeflateAll(input, 2, &got, &unpacked), DeflateOutcome::kDone);
  EXPECT_EQ(Inflated(got, input.size()), input);
}

}  // namespace
