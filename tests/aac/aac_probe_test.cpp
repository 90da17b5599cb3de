// SPDX-License-Identifier: GPL-2.0-or-later
// The header probe on bytes made by hand from the ADTS, ADIF and ID3v2
// layouts.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include "aac/aac_test_support.h"

using namespace aac_test;

namespace {

// The tag length and the header info (channels, rate, bitrate) found in
// `bytes`, the window of a file behind a few bytes of another entry.
std::array<int64_t, 4> Probe(const Bytes& bytes) {
  platform::File file(::memfd_create("aac-probe", MFD_CLOEXEC));
  const Bytes before = test_support::ToBytes("entry before");
  EXPECT_EQ(platform::WriteFile(file, before.data(), before.size()), int64_t(before.size()));
  EXPECT_EQ(platform::WriteFile(file, bytes.data(), bytes.size()), int64_t(bytes.size()));
  EXPECT_EQ(platform::WriteFile(file, "\xFF\xF1", 2), 2);  // not part of the window
  platform::SeekFile(file, int64_t(before.size()), platform::SeekOrigin::kBegin);
  auto stream = MakeStream(file, kStreamModeRead, int64_t(bytes.size()));
  AacHeaderInfo info;
  info.channels = 99;  // the probe clears what it does not find
  const int64_t tag = ProbeAacHeader(*stream, &info);
  return {tag, info.channels, info.samplerate, info.bitrate};
}
using Found = std::array<int64_t, 4>;

// The bitrate averages whole frames: 300 and 302 bytes at 44100 Hz give 301
// a frame, 8 x 12963 bit/s, with either ID bit. An ID3v2 tag of 1000 bytes
// (28 bits in 7-bit groups) ends 1010 bytes in, where the frames are found;
// one longer than the bytes leaves no audio data (raw defaults).
TEST(AacProbe, AdtsBitrateAndId3Tag) {
  for (unsigned id : {0u, 1u}) {
    EXPECT_EQ(Probe(Join({AdtsFrame(300, 4, 2, id), AdtsFrame(302, 4, 2, id)})), (Found{0, 2, 44100, 103704}));
  }
  Bytes tag = {'I', 'D', '3', 4, 0, 0, 0, 0, 7, 0x68};  // 7 x 128 + 104
  tag.resize(1010, 0xFF);
  EXPECT_EQ(Probe(Join({tag, AdtsFrame(300, 11, 1), AdtsFrame(302, 11, 1)})), (Found{1010, 1, 8000, 8 * 2352}));
  EXPECT_EQ(Probe(Bytes(tag.begin(), tag.begin() + 500)), (Found{500, 2, 44100, 128000}));
}

// The scan stops at a frame length below 7 (never stepping back or staying
// in place), a frame running past the bytes, and a lost sync; only whole
// frames before that count. The first header gives channels and rate even
// when no frame is whole.
TEST(AacProbe, AdtsScanEndsAtBadFrames) {
  const Bytes first = AdtsFrame(400, 3, 1), beyond = AdtsFrame(5000), six = AdtsFrame(900, 8, 6);
  const Found one{0, 1, 48000, 8 * 18750};
  for (size_t bad : {0u, 3u, 6u}) EXPECT_EQ(Probe(Join({first, AdtsFrame(bad), AdtsFrame(300)})), one) << bad;
  EXPECT_EQ(Probe(Join({first, Bytes(beyond.begin(), beyond.begin() + 100)})), one);
  EXPECT_EQ(Probe(Join({first, Bytes(50, 0x11), AdtsFrame(300)})), one);
  EXPECT_EQ(Probe(Bytes(six.begin(), six.begin() + 800)), (Found{0, 6, 16000, 0}));
  EXPECT_EQ(Probe(AdtsFrame(0, 8, 0)), (Found{0, 0, 16000, 0}));  // channel configuration 0: none
}

// The window is read a piece at a time: a tag longer than a piece, and
// frames that run on over several pieces to the window's very end, all
// count.
TEST(AacProbe, LongTagsAndScansGoOnAcrossPieces) {
  Bytes tag = {'I', 'D', '3', 4, 0, 0, 0, 0x12, 0x7F, 0x76};  // (0x12 << 14) + (0x7F << 7) + 0x76 = 311286
  tag.resize(10 + 311286, 0xFF);
  Bytes frames;
  for (int i = 0; i < 400; ++i) frames = Join({frames, AdtsFrame(i % 2 == 0 ? 1999 : 2001, 4, 2)});
  const Found found{int64_t(tag.size()), 2, 44100, 8 * 86133};  // 2000 bytes a frame at 44100 Hz
  EXPECT_EQ(Probe(Join({tag, frames})), found);
}

// ADIF: the 23-bit bitrate and the rate index of the first program
// configuration, whose place depends on the bitstream type and a 72-bit
// copyright id; no channel count. "AD" without "IF" gives nothing; anything
// else is raw.
TEST(AacProbe, AdifFieldsAndRawDefaults) {
  for (bool copyright : {false, true}) {
    for (bool variable : {false, true}) {
      EXPECT_EQ(Probe(AdifHeader(copyright, variable, 0x5ABCDF, 6, 2)), (Found{0, 0, 24000, 0x5ABCDF}))
          << copyright << variable;
    }
  }
  EXPECT_EQ(Probe(Join({Bytes{'A', 'D', 'I', 'X'}, AdtsFrame(300)})), (Found{0, 0, 0, 0}));
  EXPECT_EQ(Probe(test_support::ToBytes("not an aac header at all")), (Found{0, 2, 44100, 128000}));
}

// Sampling-frequency indexes 12 to 15 lie outside the table: an invalid
// stream, in either header.
TEST(AacProbe, RateIndexOutsideTheTable) {
  for (unsigned index : {12u, 13u, 15u}) {
    EXPECT_EQ(Probe(Join({AdtsFrame(300, index), AdtsFrame(300, index)}))[0], kAacInvalidHeader) << index;
    EXPECT_EQ(Probe(AdifHeader(false, true, 64000, index, 1))[0], kAacInvalidHeader) << index;
  }
}

}  // namespace
