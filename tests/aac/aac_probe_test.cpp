// The header probe on bytes made by hand from the ADTS, ADIF and ID3v2
// layouts.
#include <gtest/gtest.h>

#include "aac/aac_test_support.h"

using namespace aac_test;

namespace {

// An ADTS frame of `length` bytes: MPEG-4 (id 0) or MPEG-2 (id 1), low
// complexity, no CRC.
Bytes AdtsFrame(size_t length, unsigned index = 4, unsigned channels = 2, unsigned id = 0) {
  Bytes f(std::max<size_t>(length, 7), 0);
  f[0] = 0xFF;
  f[1] = static_cast<uint8_t>(0xF1 | (id << 3));
  f[2] = static_cast<uint8_t>((1 << 6) | (index << 2) | (channels >> 2));
  f[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((length >> 11) & 3));
  f[4] = static_cast<uint8_t>(length >> 3);
  f[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);
  f[6] = 0xFC;
  return f;
}

struct Probed {
  int64_t tag;
  AacHeaderInfo info;
};
Probed Probe(const Bytes& bytes) {
  Probed p{};
  p.info.channels = 99;  // the probe clears what it does not find
  p.tag = ProbeAacHeader(bytes.data(), bytes.size(), &p.info);
  return p;
}

void ExpectInfo(const Probed& p, int64_t tag, int32_t channels, int32_t rate, int32_t bitrate) {
  EXPECT_EQ(p.tag, tag);
  EXPECT_EQ((std::array{p.info.channels, p.info.samplerate, p.info.bitrate}), (std::array{channels, rate, bitrate}));
}

// The bitrate averages whole frames: 300 and 302 bytes at 44100 Hz give
// 301 bytes a frame, 8 x 12963 bit/s, with either ID bit. An ID3v2 tag of
// 1000 bytes (28 bits in 7-bit groups) ends 1010 bytes in, where the
// frames are found.
TEST(AacProbe, AdtsBitrateAndId3Tag) {
  for (unsigned id : {0u, 1u}) {
    ExpectInfo(Probe(Join({AdtsFrame(300, 4, 2, id), AdtsFrame(302, 4, 2, id)})), 0, 2, 44100, 103704);
  }
  Bytes tag = {'I', 'D', '3', 4, 0, 0, 0, 0, 7, 0x68};  // 7 x 128 + 104 = 1000
  tag.resize(1010, 0xFF);  // tag bytes that look like frames are skipped
  ExpectInfo(Probe(Join({tag, AdtsFrame(300, 11, 1), AdtsFrame(302, 11, 1)})), 1010, 1, 8000, 8 * 2352);
  // A tag longer than the bytes leaves no audio data: raw defaults.
  ExpectInfo(Probe(Bytes(tag.begin(), tag.begin() + 500)), 500, 2, 44100, 128000);
}

// The scan stops at a frame length below 7 (never stepping back or staying
// in place), at a frame running past the bytes, and at a lost sync; only
// whole frames before that count. The first header still gives channels and
// rate when no frame is whole.
TEST(AacProbe, AdtsScanEndsAtBadFrames) {
  const Bytes first = AdtsFrame(400, 3, 1);
  for (size_t bad : {0u, 3u, 6u}) {
    SCOPED_TRACE(bad);
    ExpectInfo(Probe(Join({first, AdtsFrame(bad), AdtsFrame(300)})), 0, 1, 48000, 8 * 18750);
  }
  const Bytes beyond = AdtsFrame(5000), six = AdtsFrame(900, 8, 6);
  ExpectInfo(Probe(Join({first, Bytes(beyond.begin(), beyond.begin() + 100)})), 0, 1, 48000, 8 * 18750);
  ExpectInfo(Probe(Join({first, Bytes(50, 0x11), AdtsFrame(300)})), 0, 1, 48000, 8 * 18750);
  ExpectInfo(Probe(Bytes(six.begin(), six.begin() + 800)), 0, 6, 16000, 0);
  ExpectInfo(Probe(AdtsFrame(0, 8, 0)), 0, 0, 16000, 0);  // channel configuration 0: none
}

// ADIF: the 23-bit bitrate and the rate index of the first program
// configuration, whose place depends on the bitstream type (a constant-rate
// stream has a 20-bit buffer fullness first) and on a 72-bit copyright id.
TEST(AacProbe, AdifFieldsAndRawDefaults) {
  for (bool copyright : {false, true}) {
    for (bool variable : {false, true}) {
      SCOPED_TRACE(copyright * 2 + variable);
      ExpectInfo(Probe(AdifHeader(copyright, variable, 0x5ABCDF, 6, 2)), 0, 0, 24000, 0x5ABCDF);
    }
  }
  ExpectInfo(Probe(Join({Bytes{'A', 'D', 'I', 'X'}, AdtsFrame(300)})), 0, 0, 0, 0);
  ExpectInfo(Probe(test_support::ToBytes("not an aac header at all")), 0, 2, 44100, 128000);
}

// Sampling-frequency indexes 12 to 15 lie outside the table: an invalid
// stream, in either header.
TEST(AacProbe, RateIndexOutsideTheTable) {
  for (unsigned index : {12u, 13u, 15u}) {
    EXPECT_EQ(Probe(Join({AdtsFrame(300, index), AdtsFrame(300, index)})).tag, kAacInvalidHeader) << index;
    EXPECT_EQ(Probe(AdifHeader(false, true, 64000, index, 1)).tag, kAacInvalidHeader) << index;
  }
}

}  // namespace
