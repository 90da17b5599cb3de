// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the VQF tests: the fixture libraries loaded through the
// binding's seam, bits and headers laid out by hand from the format's
// description, and files in memory.
#pragma once

#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/codec_libraries/codec_libraries.h"
#include "platform/platform.h"

namespace vqf_test {

// Loads the fixture libraries (tests/vqf/twinvq_fixture.c) in place of the
// real ones for each test, and forgets them afterwards.
class FixtureLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    UnloadCodecLibraries();
    SetCodecLibraryFileName(CodecLibraryId::kTwinVqDecoder, TVQ_FIXTURE_DECODER);
    SetCodecLibraryFileName(CodecLibraryId::kTwinVqEncoder, TVQ_FIXTURE_ENCODER);
  }
  void TearDown() override {
    UnloadCodecLibraries();
    SetCodecLibraryFileName(CodecLibraryId::kTwinVqDecoder, nullptr);
    SetCodecLibraryFileName(CodecLibraryId::kTwinVqEncoder, nullptr);
  }
};

// Bits packed most significant first, as a field table lays them out.
struct Bits {
  std::vector<uint8_t> bytes;
  int64_t count = 0;
  Bits& Put(uint32_t value, int width) {
    for (int k = width - 1; k >= 0; --k, ++count) {
      if (count % 8 == 0) bytes.push_back(0);
      if ((value >> k & 1) != 0) bytes.back() |= static_cast<uint8_t>(0x80 >> count % 8);
    }
    return *this;
  }
  Bits& Append(const std::vector<uint8_t>& more) {
    for (uint8_t b : more) Put(b, 8);
    return *this;
  }
};

inline void PutBe32(std::vector<uint8_t>& to, uint32_t v) {
  to.insert(to.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}
inline void PutText(std::vector<uint8_t>& to, const std::string& text) { to.insert(to.end(), text.begin(), text.end()); }

// A VQF header: id, chunk length, `chunks` (each already laid out), "DATA".
inline std::vector<uint8_t> HandHeader(const std::vector<uint8_t>& chunks, const std::string& id = "TWIN97012000") {
  std::vector<uint8_t> h;
  PutText(h, id);
  PutBe32(h, static_cast<uint32_t>(chunks.size()));
  h.insert(h.end(), chunks.begin(), chunks.end());
  PutText(h, "DATA");
  return h;
}
// A "COMM" chunk of `size` bytes: the four fields, then zero bytes.
inline std::vector<uint8_t> Comm(int channelMode, int bitRate, int kilohertz, uint32_t size = 16) {
  std::vector<uint8_t> c;
  PutText(c, "COMM");
  PutBe32(c, size);
  for (int v : {channelMode, bitRate, kilohertz, 0}) PutBe32(c, static_cast<uint32_t>(v));
  c.resize(8 + size, 0);
  return c;
}

// One frame of the fixture's "samples" configuration: the window type in 2
// bits, then D = 4 x channels shape pairs of 17 bits, the pair i holding
// shape indices i and D + i; shape index k holds sample k (channel after
// channel, 8 per channel) + 65536.
inline void SamplesFrame(Bits& bits, const std::vector<int>& samples, int windowType = 0) {
  bits.Put(static_cast<uint32_t>(windowType), 2);
  const size_t divisions = samples.size() / 2;
  for (size_t i = 0; i < divisions; ++i) {
    bits.Put(static_cast<uint32_t>(samples[i] + 65536), 17).Put(static_cast<uint32_t>(samples[divisions + i] + 65536), 17);
  }
}

// A file in memory holding `bytes`, positioned at its start.
inline platform::File MemoryFile(const std::vector<uint8_t>& bytes = {}) {
  platform::File file(::memfd_create("vqf-test", MFD_CLOEXEC));
  EXPECT_EQ(platform::WriteFile(file, bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
  platform::SeekFile(file, 0, platform::SeekOrigin::kBegin);
  return file;
}

inline std::vector<uint8_t> FileBytes(platform::File& file) {
  std::vector<uint8_t> bytes(static_cast<size_t>(platform::FileSize(file)));
  EXPECT_TRUE(bytes.empty() || platform::ReadFileAt(file, 0, bytes.data(), bytes.size()));
  return bytes;
}

}  // namespace vqf_test
