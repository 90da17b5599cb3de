// SPDX-License-Identifier: GPL-2.0-or-later
// sox as the oracle of the layer, both ways. The audio entry tests restore
// sox-made files of every lossless container and encoding from inside a pack
// in their own container; the rows here are those they do not make.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "stream_test_support.h"

namespace {

using namespace stream_test;

// Writable rows of the format check: a signal written through the layer
// reads back through the layer and through sox, exactly for the lossless
// encodings and within the codec's error for the lossy ones. The WAV widths
// hold the sample scale.
struct Row {
  const char* name;
  uint32_t format, bits, channels;
  const char* extension;
  const char* soxInput;  // sox options describing the written file
  uint32_t readBits;     // pcmbitwidth the layer reports when reading it back
  double minSnrDb;       // 0: lossless, compared exactly
  double agreeDb = 40;   // the layer's decoding against sox's
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

constexpr Row kRows[] = {
    {"wav_pcm8", FMT_WAV | FMT_PCM, 8, 1, "wav", "", 8, 0},
    {"wav_pcm12", FMT_WAV | FMT_PCM, 12, 2, "wav", "", 16, 0},
    {"wav_pcm16", FMT_WAV | FMT_PCM, 16, 2, "wav", "", 16, 0},
    {"wav_pcm24", FMT_WAV | FMT_PCM, 24, 1, "wav", "", 24, 0},
    {"wav_pcm32", FMT_WAV | FMT_PCM, 32, 2, "wav", "", 32, 0},
    {"wav_alaw8", FMT_WAV | FMT_ALAW, 8, 2, "wav", "", 16, 30},
    {"wav_ima", FMT_WAV | FMT_IMA_ADPCM, 16, 2, "wav", "", 16, 15},
    {"wav_msadpcm", FMT_WAV | FMT_MS_ADPCM, 16, 2, "wav", "", 16, 15},
    {"wav_gsm", FMT_WAV | FMT_GSM610, 16, 1, "wav", "", 16, 5},
    {"aiff_pcm_be24", FMT_AIFF | FMT_PCM_BE, 24, 2, "aiff", "", 24, 0},
    {"aiff_pcm_le16", FMT_AIFF | FMT_PCM_LE, 16, 2, "aiff", "", 16, 0},
    {"au_g721", FMT_AU | FMT_G721_32, 16, 1, "au", "", 16, 15, 12},
    {"au_g723", FMT_AU | FMT_G723_24, 16, 1, "au", "", 16, 12, 12},
    {"au_le_pcm16", FMT_AU_LE | FMT_PCM, 16, 2, "au", "", 16, 0},
    {"au_le_ulaw", FMT_AU_LE | FMT_ULAW, 16, 1, "au", "", 16, 30},
    {"raw_s8", FMT_RAW | FMT_PCM_S8, 8, 1, "raw", "-t raw -r 8000 -c 1 -e signed -b 8", 8, 0},
    {"raw_u8", FMT_RAW | FMT_PCM_U8, 8, 2, "raw", "-t raw -r 8000 -c 2 -e unsigned -b 8", 8, 0},
    {"raw_be16", FMT_RAW | FMT_PCM_BE, 16, 2, "raw", "-t raw -r 8000 -c 2 -e signed -b 16 -B", 16, 0},
    {"raw_le24", FMT_RAW | FMT_PCM_LE, 24, 1, "raw", "-t raw -r 8000 -c 1 -e signed -b 24 -L", 24, 0},
    {"paf_s8", FMT_PAF | FMT_PCM_S8, 8, 1, "paf", "", 8, 0},
    {"paf_be24", FMT_PAF | FMT_PCM_BE, 24, 1, "paf", "", 24, 0},
    {"paf_le16", FMT_PAF | FMT_PCM_LE, 16, 1, "paf", "", 16, 0},
    {"svx_pcm16", FMT_SVX | FMT_PCM, 16, 1, "16sv", "ffmpeg", 16, 0},
    {"nist_le24", FMT_NIST | FMT_PCM_LE, 24, 1, "nist", "-t sph", 24, 0},
    {"nist_be32", FMT_NIST | FMT_PCM_BE, 32, 1, "nist", "-t sph", 32, 0},
    {"ircam_be24_as32", FMT_IRCAM | FMT_PCM_BE, 24, 2, "sf", "", 32, 0},
    {"ircam_le32", FMT_IRCAM | FMT_PCM_LE, 32, 1, "sf", "", 32, 0},
    {"ircam_float_be", FMT_IRCAM | FMT_FLOAT_BE, 32, 2, "sf", "", 32, 0},
};

constexpr uint32_t kFrames = 1500;

// A value on the 16-bit scale: two tones per channel, full scale at the start
// of the lossless streams.
int Signal16(uint32_t frame, uint32_t channel, bool lossless) {
  if (lossless && frame < 2) return frame == 0 ? -32768 : 32767;
  const double t = frame / 8000.0;
  return static_cast<int>(std::lround(12000 * std::sin(2 * M_PI * (300 + 100 * channel) * t) +
                                      6000 * std::sin(2 * M_PI * 1234 * t + channel)));
}

class FormatRoundTrip : public ::testing::TestWithParam<Row> {};

TEST_P(FormatRoundTrip, LayerAndSoxReadWhatWasWritten) {
  const Row& row = GetParam();
  TempDir dir;
  const std::string path = dir / (std::string("out.") + row.extension);
  const AudioInfo info = Describe(row.format, row.bits, row.channels);
  ASSERT_EQ(FormatCheck(&info), 1);
  const bool lossless = row.minSnrDb == 0;
  const int below16 = row.bits < 16 ? 16 - static_cast<int>(row.bits) : 0;
  std::vector<int16_t> written;
  std::vector<double> want16;  // the written signal on the 16-bit scale
  for (uint32_t f = 0; f < kFrames; ++f) {
    for (uint32_t c = 0; c < row.channels; ++c) {
      written.push_back(static_cast<int16_t>(Signal16(f, c, lossless) >> below16));
      want16.push_back(written.back() * (1 << below16));
    }
  }
  ASSERT_EQ(WriteThroughLayer(path, info, written), 0) << ErrorMessage(LastError());

  AudioInfo back = FormatMajor(row.format) == FMT_RAW ? info : AudioInfo{};
  const std::vector<int16_t> read = ReadThroughLayer(path, back);
  ASSERT_FALSE(read.empty()) << ErrorMessage(LastError()) << "\n" << LastLog();
  EXPECT_EQ(FormatMajor(back.format), FormatMajor(row.format));
  EXPECT_EQ(back.channels, row.channels);
  EXPECT_EQ(back.samplerate, 8000u);
  EXPECT_EQ(back.pcmbitwidth, row.readBits);
  EXPECT_TRUE(lossless ? back.samples == kFrames : back.samples >= kFrames) << back.samples;

  const std::vector<int32_t> sox = SoxDecode(dir, row.soxInput, path);
  ASSERT_GE(sox.size(), want16.size());
  const int readShift = row.readBits < 16 ? 16 - static_cast<int>(row.readBits) : 0;
  std::vector<double> layer16, sox16;
  for (size_t i = 0; i < want16.size(); ++i) {
    layer16.push_back(read[i] * (1 << readShift));
    sox16.push_back(sox[i] / 65536.0);
  }
  if (lossless) {
    EXPECT_EQ(layer16, want16);
    EXPECT_EQ(sox16, want16);  // exact: the division by 65536 loses nothing
  } else {
    EXPECT_GE(SnrDb(want16, layer16), row.minSnrDb);
    EXPECT_GE(SnrDb(want16, sox16), std::min(row.minSnrDb, row.agreeDb));
    // Both decoders of the same bytes agree (sox and ffmpeg decode G721 and
    // G723 alike, and further from the signal than libsndfile does).
    EXPECT_GE(SnrDb(sox16, layer16), row.agreeDb);
  }
}

INSTANTIATE_TEST_SUITE_P(AllWritableRows, FormatRoundTrip, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Files that sox wrote, placed inside a larger file with bytes before and
// after them, read through the layer and compared with sox's own decoding:
// the container only the layer reads (VOC) and layouts the audio entry tests
// do not make (WAVE_FORMAT_EXTENSIBLE, 8-bit AIFC, an odd 8SVX body).
struct SoxFile {
  const char* name;
  const char* soxOutput;  // sox options of the file to make
  const char* extension;
  uint32_t major;         // what recognition must find
  uint32_t rate = 11025;  // the rate the container stores
  size_t extraSamples = 0;  // samples libsndfile finds beyond those sox decodes
};

void PrintTo(const SoxFile& row, std::ostream* out) { *out << row.name; }

constexpr SoxFile kFiles[] = {
    {"wavex24_4ch", "-c 4 -b 24", "wav", FMT_WAV},
    {"aifc8", "-c 1 -b 8", "aifc", FMT_AIFF},
    // The pad byte after an odd-sized BODY, which libsndfile would count as a
    // sample, is no frame.
    {"svx8", "-c 1 -b 8", "8svx", FMT_SVX},
    // An 8-bit VOC block stores the rate as a time constant.
    {"voc8", "-c 1 -b 8", "voc", FMT_VOC, 10989},
    // sox writes a 16-bit VOC block length two frames short of its data;
    // libsndfile reads the data, sox and ffmpeg stop at the length.
    {"voc16", "-c 2 -b 16", "voc", FMT_VOC, 11025, 4},
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
    ASSERT_EQ(read[i] * (1 << shift), sox[i] >> 16) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(ReadableContainers, SoxContainer, ::testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// An odd number of 8-bit mono frames: the written AIFF and 8SVX files
// declare exactly the frames written (libsndfile alone would announce one
// more in the AIFF, and leave the 8SVX body without its pad byte), as sox
// reads them; the FORM spans the whole, even-sized file.
TEST(OddFrames, EightBitAiffAnd8svxDeclareTheFramesWritten) {
  TempDir dir;
  std::vector<int16_t> ramp(11025);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(static_cast<int>(i % 256) - 128);
  for (const auto& [name, format] : {std::pair{"odd.aiff", FMT_AIFF | FMT_PCM}, {"odd.8svx", FMT_SVX | FMT_PCM}}) {
    SCOPED_TRACE(name);
    const std::string path = dir / name;
    ASSERT_EQ(WriteThroughLayer(path, Describe(format, 8, 1, 11025), ramp), 0);
    const std::vector<uint8_t> file = ReadBytes(path);
    const uint32_t form = uint32_t{file[4]} << 24 | file[5] << 16 | file[6] << 8 | file[7];
    EXPECT_EQ(file.size() % 2, 0u);
    EXPECT_EQ(form, file.size() - 8);
    const std::vector<int32_t> sox = SoxDecode(dir, "", path);
    ASSERT_EQ(sox.size(), ramp.size());
    for (size_t i = 0; i < ramp.size(); ++i) ASSERT_EQ(sox[i], ramp[i] * (1 << 24)) << i;
    AudioInfo info;
    EXPECT_EQ(ReadThroughLayer(path, info), ramp);
  }
}

}  // namespace
