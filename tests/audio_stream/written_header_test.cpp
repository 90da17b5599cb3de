// SPDX-License-Identifier: GPL-2.0-or-later
// The header fields the layer mends after libsndfile: the frames a WAV of a
// block encoding declares, read (sox's fact chunk) and written (ffprobe
// reads the fact chunk), and the time of a PEAK chunk under
// SOURCE_DATE_EPOCH.
#include <gtest/gtest.h>

#include <cstdlib>

#include "stream_test_support.h"

using namespace stream_test;

namespace {

// The 32-bit word `offset` bytes into the body of the first chunk `id`.
uint32_t ChunkWord(const test_support::Bytes& file, const char* id, size_t offset, bool big) {
  for (size_t at = 12; at + 8 <= file.size();) {
    auto word = [&](size_t p) {
      return big ? uint32_t{file[p]} << 24 | uint32_t{file[p + 1]} << 16 | uint32_t{file[p + 2]} << 8 | file[p + 3]
                 : uint32_t{file[p + 3]} << 24 | uint32_t{file[p + 2]} << 16 | uint32_t{file[p + 1]} << 8 | file[p];
    };
    if (std::equal(file.begin() + at, file.begin() + at + 4, id)) return word(at + 8 + offset);
    at += 8 + word(at + 4) + (word(at + 4) & 1);
  }
  ADD_FAILURE() << "no " << id << " chunk";
  return 0;
}

// sox pads the last block; its fact chunk holds the frames it was given,
// which the layer reads, and which a file the layer writes declares.
TEST(FactChunk, BlockEncodingsKeepTheirFrameCount) {
  TempDir dir;
  const std::string source = dir / "source.wav", written = dir / "written.wav";
  const struct {
    const char* encoding;
    uint32_t minor, rate, channels, frames;
  } cases[] = {{"ima-adpcm", FMT_IMA_ADPCM, 22050, 1, 66150},
               {"ms-adpcm", FMT_MS_ADPCM, 22050, 2, 13781},
               {"gsm-full-rate", FMT_GSM610, 8000, 1, 24001}};
  for (const auto& c : cases) {
    const std::string shape = " -r " + std::to_string(c.rate) + " -c " + std::to_string(c.channels);
    ASSERT_TRUE(RunQuietly("sox -R -D" + shape + " -n" + shape + " -e " + c.encoding + " '" + source + "' synth " + std::to_string(c.frames) +
                           "s sine 440"));
    ASSERT_EQ(ChunkWord(test_support::ReadBytes(source), "fact", 0, false), c.frames) << c.encoding;
    AudioInfo info;
    const std::vector<int16_t> samples = ReadThroughLayer(source, info);
    EXPECT_EQ(info.samples, c.frames) << c.encoding;
    ASSERT_EQ(WriteThroughLayer(written, Describe(FMT_WAV | c.minor, 16, c.channels, c.rate), samples), 0);
    EXPECT_EQ(ChunkWord(test_support::ReadBytes(written), "fact", 0, false), c.frames) << c.encoding;
  }
}

// A float WAV or AIFF written twice a second apart is the same bytes.
TEST(PeakChunk, TimeIsSourceDateEpoch) {
  TempDir dir;
  ASSERT_EQ(setenv("SOURCE_DATE_EPOCH", "1700000123", 1), 0);
  const std::vector<int16_t> samples = {100, -2000, 32767, -32768, 5, 6};
  for (uint32_t format : {FMT_WAV | FMT_FLOAT, FMT_AIFF | FMT_FLOAT}) {
    const std::string path = dir / "peak";
    ASSERT_EQ(WriteThroughLayer(path, Describe(format, 32, 2, 44100), samples), 0);
    EXPECT_EQ(ChunkWord(test_support::ReadBytes(path), "PEAK", 4, format != (FMT_WAV | FMT_FLOAT)), 1700000123u);
  }
  unsetenv("SOURCE_DATE_EPOCH");
}

}  // namespace
