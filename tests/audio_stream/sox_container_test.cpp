// Files that sox wrote, in every container the layer reads, placed inside a
// larger file with bytes before and after them, read through the layer and
// compared with sox's own decoding of the file.
#include <algorithm>
#include <cstdlib>

#include "stream_test_support.h"

namespace {

using namespace stream_test;

struct SoxFile {
  const char* name;
  const char* soxOutput;  // sox options of the file to make
  const char* extension;
  uint32_t major;         // what recognition must find
  int tolerance = 0;      // in 16-bit steps: 1 where sox and the layer round floats differently
  uint32_t rate = 11025;  // the rate the container stores
  size_t extraSamples = 0;  // samples libsndfile finds beyond those sox decodes
};

void PrintTo(const SoxFile& row, std::ostream* out) { *out << row.name; }

constexpr SoxFile kFiles[] = {
    {"wav16", "-c 2 -b 16", "wav", FMT_WAV, 0},
    {"wav_u8", "-c 1 -b 8", "wav", FMT_WAV, 0},
    {"wavex24_4ch", "-c 4 -b 24", "wav", FMT_WAV, 0},
    {"wav_float", "-c 2 -e floating-point -b 32", "wav", FMT_WAV, 1},
    {"wav_ulaw", "-c 1 -e u-law", "wav", FMT_WAV, 0},
    {"aiff16", "-c 2 -b 16", "aiff", FMT_AIFF, 0},
    {"aifc8", "-c 1 -b 8", "aifc", FMT_AIFF, 0},
    {"au16", "-c 2 -b 16", "au", FMT_AU, 0},
    {"paf16", "-c 2 -b 16", "paf", FMT_PAF, 0},
    // libsndfile counts the pad byte after an odd-sized BODY as a sample.
    {"svx8", "-c 1 -b 8", "8svx", FMT_SVX, 0, 11025, 1},
    {"nist16", "-c 2 -b 16 -t sph", "nist", FMT_NIST, 0},
    {"ircam16", "-c 1 -b 16", "sf", FMT_IRCAM, 0},
    // An 8-bit VOC block stores the rate as a time constant.
    {"voc8", "-c 1 -b 8", "voc", FMT_VOC, 0, 10989},
    // sox writes a 16-bit VOC block length two frames short of its data;
    // libsndfile reads the data, sox and ffmpeg stop at the length.
    {"voc16", "-c 2 -b 16", "voc", FMT_VOC, 0, 11025, 4},
};

class SoxContainer : public ::testing::TestWithParam<SoxFile> {};

TEST_P(SoxContainer, ReadsInPlaceAsSoxDecodesIt) {
  const SoxFile& row = GetParam();
  TempDir dir;
  const std::string made = dir / (std::string("made.") + row.extension);
  ASSERT_TRUE(RunQuietly(std::string("sox -D -n -r 11025 ") + row.soxOutput + " '" + made +
                         "' synth 0.1 sine 300 sine 1234 sine 2500 sine 700 gain -3"))
      << "sox could not write " << row.name;
  const std::vector<int32_t> sox = SoxDecode(dir, "", made);
  // The stream at byte 37 of a file, with 53 more bytes after it.
  const std::vector<uint8_t> stream = ReadBytes(made);
  std::vector<uint8_t> pack(37 + stream.size() + 53, 0x7F);
  std::fill_n(pack.begin(), 37, 0x5A);
  std::copy(stream.begin(), stream.end(), pack.begin() + 37);
  WriteBytes(dir / "pack.bin", pack);

  AudioInfo info;
  const std::vector<int16_t> read = ReadThroughLayer(dir / "pack.bin", info, 37, uint32_t(stream.size()));
  ASSERT_FALSE(read.empty()) << ErrorMessage(LastError()) << "\n" << LastLog();
  EXPECT_EQ(FormatMajor(info.format), row.major);
  EXPECT_EQ(info.samplerate, row.rate);
  ASSERT_EQ(read.size(), sox.size() + row.extraSamples);
  const int shift = info.pcmbitwidth < 16 ? 16 - static_cast<int>(info.pcmbitwidth) : 0;
  for (size_t i = 0; i < sox.size(); ++i) {
    ASSERT_LE(std::abs(read[i] * (1 << shift) - (sox[i] >> 16)), row.tolerance) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(ReadableContainers, SoxContainer, ::testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
