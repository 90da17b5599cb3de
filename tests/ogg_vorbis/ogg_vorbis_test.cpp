// The Ogg Vorbis module against the vorbis-tools and ffmpeg: decoding of
// files oggenc made, encoding that oggdec and ffmpeg decode, the encoder's
// settings, the stream's window, and damaged or foreign streams.
#include "audio/ogg_vorbis/ogg_vorbis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "audio/codec_libraries/codec_libraries.h"
#include "ogg_vorbis/ogg_test_support.h"

using namespace ogg_test;

namespace {

struct DecodeCase {
  int rate;
  int channels;
  int quality;
};

class OggDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(OggDecodeTest, MatchesOggdec) {
  const DecodeCase& c = GetParam();
  TempDir dir;
  std::string ogg = dir / "in.ogg";
  std::vector<int16_t> source = MusicSignal(c.rate, c.channels, c.rate);
  ASSERT_TRUE(OggEncode(dir, source, c.channels, c.rate, c.quality, ogg));
  std::vector<int16_t> reference = OggdecDecode(dir, ogg);
  ASSERT_FALSE(reference.empty());

  platform::File file = platform::OpenExistingReadOnly(ogg);
  auto stream = ReadStream(file, platform::FileSize(file));
  ASSERT_EQ(OggVorbisOpenRead(*stream), 0);
  EXPECT_EQ(stream->info.samplerate, static_cast<uint32_t>(c.rate));
  EXPECT_EQ(stream->info.channels, static_cast<uint32_t>(c.channels));
  EXPECT_EQ(stream->info.pcmbitwidth, 16u);
  EXPECT_EQ(stream->info.format, FMT_OGG);
  EXPECT_EQ(stream->blockwidth, 2 * c.channels);
  std::vector<int16_t> decoded = ReadAll(*stream);
  EXPECT_EQ(stream->info.samples * c.channels, decoded.size());
  EXPECT_EQ(decoded.size(), reference.size());
  EXPECT_GE(AlignedSnrDb(reference, decoded, c.channels, 0), 60.0);
  EXPECT_EQ(stream->close(*stream), 0);
}

INSTANTIATE_TEST_SUITE_P(Oggenc, OggDecodeTest,
                         ::testing::Values(DecodeCase{8000, 1, -1}, DecodeCase{22050, 2, 2},
                                           DecodeCase{44100, 2, 6}, DecodeCase{48000, 6, 4}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.channels) +
                                  "ch_q" + std::to_string(info.param.quality + 1);
                         });

AudioInfo EncoderInfo(int rate, int channels, float quality, uint32_t bitrate = 0) {
  AudioInfo info;
  info.samplerate = static_cast<uint32_t>(rate);
  info.channels = static_cast<uint32_t>(channels);
  info.format = FMT_OGG;
  info.quality = quality;
  info.bitrate = bitrate;
  return info;
}

// Writes `samples` through the module into `path`, after `prefix` bytes
// already in the file. Returns the close's result (or the open's, negated).
int EncodeWithModule(const std::string& path, const std::vector<int16_t>& samples, const AudioInfo& info,
                     const std::string& prefix = "") {
  WriteBytes(path, prefix.data(), prefix.size());
  platform::File file = platform::OpenExistingReadWrite(path);
  platform::SeekFile(file, 0, platform::SeekOrigin::kEnd);
  auto stream = WriteStream(file, info);
  if (int error = OggVorbisOpenWrite(*stream)) return -error;
  // Written in uneven pieces of whole frames, as a caller would.
  size_t piece = info.channels * 997;
  for (size_t at = 0; at < samples.size(); at += piece) {
    int64_t n = std::min(piece, samples.size() - at);
    if (stream->writeShort(*stream, samples.data() + at, n) != n) return -8;
  }
  EXPECT_EQ(stream->info.samples, samples.size() / info.channels);
  return stream->close(*stream);
}

TEST(OggWrite, OggdecAndFfmpegDecodeWhatWasWrittenAtTheFilePosition) {
  TempDir dir;
  const int rate = 44100, channels = 2;
  std::vector<int16_t> source = MusicSignal(rate * 2, channels, rate);
  const std::string prefix = "entry before the stream";
  std::string written = dir / "written.bin";
  ASSERT_EQ(EncodeWithModule(written, source, EncoderInfo(rate, channels, 0.4f), prefix), 0);
  std::vector<uint8_t> bytes = ReadBytes(written);
  ASSERT_GT(bytes.size(), prefix.size() + 4);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + prefix.size()), prefix);
  EXPECT_EQ(std::string(bytes.begin() + prefix.size(), bytes.begin() + prefix.size() + 4), "OggS");
  std::string ogg = dir / "written.ogg";
  WriteBytes(ogg, bytes.data() + prefix.size(), bytes.size() - prefix.size());

  for (const auto& decoded : {OggdecDecode(dir, ogg), FfmpegDecode(dir, ogg)}) {
    EXPECT_EQ(decoded.size(), source.size());
    EXPECT_GE(AlignedSnrDb(source, decoded, channels, 0), 20.0);
  }
  platform::File file = platform::OpenExistingReadOnly(written);
  platform::SeekFile(file, static_cast<int64_t>(prefix.size()), platform::SeekOrigin::kBegin);
  auto stream = ReadStream(file, static_cast<int64_t>(bytes.size() - prefix.size()));
  ASSERT_EQ(OggVorbisOpenRead(*stream), 0);
  EXPECT_GE(AlignedSnrDb(source, ReadAll(*stream), channels, 0), 20.0);
}

// Every stored frame reaches the encoder, also when the channel count does
// not divide the 1024-sample chunk: oggdec gives back exactly as many frames.
TEST(OggWrite, EveryFrameIsEncodedFor1To3Channels) {
  TempDir dir;
  for (auto [channels, frames] : {std::pair{1, 2500}, std::pair{2, 1024}, std::pair{3, 3000}}) {
    std::vector<int16_t> source = MusicSignal(frames, channels, 22050);
    std::string ogg = dir / "chunks.ogg";
    ASSERT_EQ(EncodeWithModule(ogg, source, EncoderInfo(22050, channels, 0.4f)), 0);
    EXPECT_EQ(OggdecDecode(dir, ogg).size(), source.size()) << channels << " channels";
  }
}

}  // namespace

// The three bit rates of the identification header (first packet, first
// page): maximum, nominal, minimum.
std::array<int32_t, 3> HeaderBitrates(const std::vector<uint8_t>& ogg) {
  std::array<int32_t, 3> rates{};
  for (int i = 0; i < 3; ++i) {
    size_t at = 44 + 4 * i;
    rates[i] = static_cast<int32_t>(ogg[at] | ogg[at + 1] << 8 | ogg[at + 2] << 16 | uint32_t{ogg[at + 3]} << 24);
  }
  return rates;
}

TEST(OggWrite, QualitySelectsManagedOrQualityMode) {
  TempDir dir;
  std::vector<int16_t> source = MusicSignal(4000, 2, 44100);
  std::string ogg = dir / "mode.ogg";
  for (float quality : {-1.0f, 0.0f}) {
    ASSERT_EQ(EncodeWithModule(ogg, source, EncoderInfo(44100, 2, quality, 128000)), 0);
    EXPECT_EQ(HeaderBitrates(ReadBytes(ogg)), (std::array<int32_t, 3>{128000, 128000, 128000})) << quality;
  }
  AudioInfo ranged = EncoderInfo(44100, 2, -1.0f, 128000);
  ranged.minBitrate = 96000;
  ranged.maxBitrate = 192000;
  ASSERT_EQ(EncodeWithModule(ogg, source, ranged), 0);
  EXPECT_EQ(HeaderBitrates(ReadBytes(ogg)), (std::array<int32_t, 3>{192000, 128000, 96000}));
  // Quality mode leaves the bounds unset and ignores the bit rates given.
  ranged.quality = 0.4f;
  ranged.bitrate = 64000;
  ASSERT_EQ(EncodeWithModule(ogg, source, ranged), 0);
  std::array<int32_t, 3> vbr = HeaderBitrates(ReadBytes(ogg));
  EXPECT_EQ(vbr[0], 0);
  EXPECT_EQ(vbr[2], 0);
  EXPECT_GT(vbr[1], 0);
  EXPECT_NE(vbr[1], 64000);
}

TEST(OggWrite, RefusedSettingsWriteNothingAndCloseWith21) {
  TempDir dir;
  std::vector<int16_t> source = MusicSignal(256, 256, 44100);
  std::string ogg = dir / "refused.ogg";
  AudioInfo tooLow = EncoderInfo(44100, 1, -1.0f, 1);
  AudioInfo notANumber = EncoderInfo(44100, 1, std::nanf(""));
  AudioInfo tooManyChannels = EncoderInfo(44100, 256, 0.4f);
  for (const AudioInfo& info : {tooLow, notANumber, tooManyChannels}) {
    EXPECT_EQ(EncodeWithModule(ogg, source, info, "kept"), 21) << info.channels;
    EXPECT_EQ(ReadBytes(ogg).size(), 4u);
  }
}

TEST(OggWrite, PageThatCannotBeWrittenClosesWith20) {
  TempDir dir;
  std::string path = dir / "read-only.ogg";
  WriteBytes(path, "", 0);
  platform::File file = platform::OpenExistingReadOnly(path);
  auto stream = WriteStream(file, EncoderInfo(22050, 1, 0.4f));
  ASSERT_EQ(OggVorbisOpenWrite(*stream), 0);
  std::vector<int16_t> source = MusicSignal(2000, 1, 22050);
  ASSERT_EQ(stream->writeShort(*stream, source.data(), 2000), 2000);
  EXPECT_EQ(stream->close(*stream), 20);
  EXPECT_EQ(stream->codecdata, nullptr);
}

// Offsets at which the Ogg pages of `ogg` begin, and its size at the end.
std::vector<size_t> PageStarts(const std::vector<uint8_t>& ogg) {
  std::vector<size_t> starts;
  size_t at = 0;
  while (at + 27 <= ogg.size()) {
    starts.push_back(at);
    size_t segments = ogg[at + 26];
    size_t size = 27 + segments;
    for (size_t i = 0; i < segments; ++i) size += ogg[at + 27 + i];
    at += size;
  }
  starts.push_back(at);
  return starts;
}

// Sets the page's CRC (polynomial 0x04C11DB7, initial 0, over the page with
// its CRC field zeroed), as the Ogg format describes it.
void FixPageCrc(std::vector<uint8_t>& ogg, size_t page, size_t end) {
  for (int i = 0; i < 4; ++i) ogg[page + 22 + i] = 0;
  uint32_t crc = 0;
  for (size_t i = page; i < end; ++i) {
    crc ^= uint32_t{ogg[i]} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  for (int i = 0; i < 4; ++i) ogg[page + 22 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

class OggReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OggEncode(dir_, MusicSignal(4 * 22050, 2, 22050), 2, 22050, 2, dir_ / "source.ogg"));
    source_ = ReadBytes(dir_ / "source.ogg");
    pages_ = PageStarts(source_);
    // oggenc puts the identification header on page 0, the comment and
    // setup headers on the pages after it, all with granule position 0.
    while (headerPages_ + 1 < pages_.size() &&
           std::all_of(&source_[pages_[headerPages_] + 6], &source_[pages_[headerPages_] + 14],
                       [](uint8_t b) { return b == 0; })) {
      ++headerPages_;
    }
    headerEnd_ = pages_[headerPages_];
  }

  // Opens `bytes[offset, offset + length)` inside a file holding `bytes`.
  int Open(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    WriteBytes(dir_ / "case.bin", bytes.data(), bytes.size());
    file_ = platform::OpenExistingReadOnly(dir_ / "case.bin");
    platform::SeekFile(file_, static_cast<int64_t>(offset), platform::SeekOrigin::kBegin);
    stream_ = ReadStream(file_, static_cast<int64_t>(length));
    int result = OggVorbisOpenRead(*stream_);
    EXPECT_EQ(stream_->codecdata == nullptr, result != 0);
    return result;
  }
  int Open(const std::vector<uint8_t>& bytes) { return Open(bytes, 0, bytes.size()); }
  std::vector<uint8_t> Cut(size_t end) { return {source_.begin(), source_.begin() + end}; }

  TempDir dir_;
  std::vector<uint8_t> source_;
  std::vector<size_t> pages_;
  size_t headerEnd_ = 0;
  size_t headerPages_ = 0;
  platform::File file_;
  std::unique_ptr<AudioStream> stream_;
};

TEST_F(OggReadTest, HeadersWithoutAudioGive8) {
  ASSERT_GE(headerPages_, 2u);
  EXPECT_EQ(Open(Cut(headerEnd_)), 8);
}

TEST_F(OggReadTest, EveryCutInsideTheHeadersGives83AndLaterCutsDecodeWhatIsThere) {
  for (size_t end = 0; end < source_.size(); end += 97) {
    int result = Open(Cut(end));
    if (end < headerEnd_) {
      EXPECT_EQ(result, 83) << "cut at " << end;
    } else {
      EXPECT_TRUE(result == 0 || result == 8) << "cut at " << end << ": " << result;
    }
  }
}

TEST_F(OggReadTest, NoPageInTheFirstPieceGives83) {
  EXPECT_EQ(Open(std::vector<uint8_t>(5000, 0)), 83);
  EXPECT_EQ(Open(source_, 0, 0), 83);
  // The stream begins where the window begins, not at the file's start.
  std::vector<uint8_t> shifted(source_);
  shifted.insert(shifted.begin(), 3, 'x');
  EXPECT_EQ(Open(shifted, 1, shifted.size() - 1), 83);
  EXPECT_EQ(Open(shifted, 3, source_.size()), 0);
}

TEST_F(OggReadTest, OggStreamOfAnotherCodecGives83) {
  // One page, made by hand, whose only packet is an Opus identification.
  std::vector<uint8_t> page = {'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 1, 19};
  const char opus[] = "OpusHead\x01\x02\x38\x01\x80\xbb\0\0\0\0\0";
  page.insert(page.end(), opus, opus + 19);
  FixPageCrc(page, 0, page.size());
  EXPECT_EQ(Open(page), 83);
}

TEST_F(OggReadTest, DamagedSetupHeaderGives83) {
  // Codebooks begin with the sync pattern "BCV"; break the first one.
  std::vector<uint8_t> damaged(source_);
  auto setup = std::search(damaged.begin() + pages_[1], damaged.end(), std::begin("BCV"), std::end("BCV") - 1);
  ASSERT_NE(setup, damaged.end());
  *setup = 'X';
  size_t page = *(std::upper_bound(pages_.begin(), pages_.end(), setup - damaged.begin()) - 1);
  FixPageCrc(damaged, page, *std::upper_bound(pages_.begin(), pages_.end(), page));
  EXPECT_EQ(Open(damaged), 83);
}

// A stream inside a larger file decodes from its window only: with the rest
// of the same stream right after the window, decoding still stops where the
// window ends.
TEST_F(OggReadTest, DecodingStaysInsideTheWindow) {
  size_t split = pages_[pages_.size() / 2];
  ASSERT_EQ(Open(Cut(split)), 0);
  std::vector<int16_t> alone = ReadAll(*stream_);
  ASSERT_EQ(Open(source_), 0);
  size_t whole = ReadAll(*stream_).size();
  std::vector<uint8_t> embedded(source_);
  embedded.insert(embedded.begin(), 11, 0);
  ASSERT_EQ(Open(embedded, 11, split), 0);
  std::vector<int16_t> windowed = ReadAll(*stream_);
  EXPECT_LT(windowed.size(), whole);
  EXPECT_EQ(windowed, alone);
}
