// The Ogg Vorbis module against oggenc, oggdec and ffmpeg: decoding, the
// encoder's output and settings, the stream's window, damaged streams.
#include "audio/ogg_vorbis/ogg_vorbis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "ogg_vorbis/ogg_test_support.h"

using namespace ogg_test;

namespace {

struct DecodeCase {
  int rate, channels, quality;
};
class OggDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

// Both use libvorbis: only the rounding to 16 bits differs (oggdec rounds,
// the module truncates), which keeps the difference near 65 dB.
TEST_P(OggDecodeTest, MatchesOggdec) {
  const auto [rate, channels, quality] = GetParam();
  TempDir dir;
  std::string ogg = dir / "in.ogg";
  ASSERT_TRUE(OggEncode(dir, MusicSignal(rate, channels, rate), channels, rate, quality, ogg));
  std::vector<int16_t> reference = DecodeWith("oggdec", dir, ogg);
  platform::File file = platform::OpenExistingReadOnly(ogg);
  auto stream = MakeStream(file, kStreamModeRead, platform::FileSize(file));
  ASSERT_EQ(OggVorbisOpenRead(*stream), 0);
  const AudioInfo& info = stream->info;
  EXPECT_EQ((std::array{info.samplerate, info.channels, info.pcmbitwidth, info.format, info.sections}),
            (std::array<uint32_t, 5>{uint32_t(rate), uint32_t(channels), 16, FMT_OGG, 1}));
  EXPECT_EQ(stream->blockwidth, 2 * channels);
  std::vector<int16_t> decoded = ReadAll(*stream);
  EXPECT_EQ(decoded.size(), info.samples * channels);
  EXPECT_EQ(decoded.size(), reference.size());
  EXPECT_GE(SnrDb(reference, decoded), 60.0);
  EXPECT_EQ(stream->close(*stream), 0);
  EXPECT_EQ(stream->codecdata, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Oggenc, OggDecodeTest,
                         ::testing::Values(DecodeCase{8000, 1, -1}, DecodeCase{22050, 2, 2},
                                           DecodeCase{44100, 2, 6}, DecodeCase{48000, 6, 4}));

AudioInfo EncoderInfo(int rate, int channels, float quality, uint32_t bitrate = 0) {
  AudioInfo info;
  info.samplerate = rate;
  info.channels = channels;
  info.format = FMT_OGG;
  info.quality = quality;
  info.bitrate = bitrate;
  return info;
}

// Writes `samples` through the module into `path` after `prefix`, in uneven
// pieces of whole frames. Returns the close's result.
int Encode(const std::string& path, const std::vector<int16_t>& samples, const AudioInfo& info,
           const std::string& prefix = "") {
  WriteBytes(path, prefix.data(), prefix.size());
  platform::File file = platform::OpenExistingReadWrite(path);
  platform::SeekFile(file, 0, platform::SeekOrigin::kEnd);
  auto stream = MakeStream(file, kStreamModeWrite, 0, info);
  EXPECT_EQ(OggVorbisOpenWrite(*stream), 0);
  for (size_t at = 0, piece = info.channels * 997; at < samples.size(); at += piece) {
    int64_t n = std::min(piece, samples.size() - at);
    EXPECT_EQ(stream->writeShort(*stream, samples.data() + at, n), n);
  }
  EXPECT_EQ(stream->info.samples, samples.size() / info.channels);
  return stream->close(*stream);
}

TEST(OggWrite, OggdecAndFfmpegDecodeWhatWasWrittenAtTheFilePosition) {
  TempDir dir;
  std::vector<int16_t> source = MusicSignal(2 * 44100, 2, 44100);
  const std::string prefix = "entry before the stream";
  ASSERT_EQ(Encode(dir / "out.bin", source, EncoderInfo(44100, 2, 0.4f), prefix), 0);
  std::vector<uint8_t> bytes = ReadBytes(dir / "out.bin");
  ASSERT_GT(bytes.size(), prefix.size() + 4);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + prefix.size() + 4), prefix + "OggS");
  WriteBytes(dir / "out.ogg", bytes.data() + prefix.size(), bytes.size() - prefix.size());
  for (const char* decoder : {"oggdec", "ffmpeg"}) {
    std::vector<int16_t> decoded = DecodeWith(decoder, dir, dir / "out.ogg");
    EXPECT_EQ(decoded.size(), source.size()) << decoder;
    EXPECT_GE(SnrDb(source, decoded), 20.0) << decoder;
  }
  platform::File file = platform::OpenExistingReadOnly(dir / "out.bin");
  platform::SeekFile(file, prefix.size(), platform::SeekOrigin::kBegin);
  auto stream = MakeStream(file, kStreamModeRead, bytes.size() - prefix.size());
  ASSERT_EQ(OggVorbisOpenRead(*stream), 0);
  EXPECT_GE(SnrDb(source, ReadAll(*stream)), 20.0);
}

// Every stored frame reaches the encoder, also when the channel count does
// not divide the 1024-sample chunk.
TEST(OggWrite, EveryFrameIsEncodedFor1To3Channels) {
  TempDir dir;
  for (auto [channels, frames] : {std::pair{1, 2500}, std::pair{2, 1024}, std::pair{3, 3000}}) {
    std::vector<int16_t> source = MusicSignal(frames, channels, 22050);
    ASSERT_EQ(Encode(dir / "chunks.ogg", source, EncoderInfo(22050, channels, 0.4f)), 0);
    EXPECT_EQ(DecodeWith("oggdec", dir, dir / "chunks.ogg").size(), source.size()) << channels;
  }
}

// Maximum, nominal and minimum bit rate of the identification header, which
// lies at byte 28 of the first page.
std::array<int32_t, 3> HeaderBitrates(const std::vector<uint8_t>& ogg) {
  std::array<int32_t, 3> rates{};
  std::memcpy(rates.data(), ogg.data() + 44, 12);
  return rates;
}

TEST(OggWrite, QualitySelectsManagedOrQualityMode) {
  TempDir dir;
  std::vector<int16_t> source = MusicSignal(4000, 2, 44100);
  std::string ogg = dir / "mode.ogg";
  for (float quality : {-1.0f, 0.0f}) {
    ASSERT_EQ(Encode(ogg, source, EncoderInfo(44100, 2, quality, 128000)), 0);
    EXPECT_EQ(HeaderBitrates(ReadBytes(ogg)), (std::array{128000, 128000, 128000})) << quality;
  }
  AudioInfo ranged = EncoderInfo(44100, 2, -1.0f, 128000);
  ranged.minBitrate = 96000;
  ranged.maxBitrate = 192000;
  ASSERT_EQ(Encode(ogg, source, ranged), 0);
  EXPECT_EQ(HeaderBitrates(ReadBytes(ogg)), (std::array{192000, 128000, 96000}));
  // Quality mode leaves the bounds unset and ignores the bit rates given.
  ranged.quality = 0.4f;
  ranged.bitrate = 64000;
  ASSERT_EQ(Encode(ogg, source, ranged), 0);
  std::array<int32_t, 3> vbr = HeaderBitrates(ReadBytes(ogg));
  EXPECT_TRUE(vbr[0] == 0 && vbr[2] == 0 && vbr[1] > 0 && vbr[1] != 64000);
}

// Settings libvorbisenc refuses, or a 256-channel stream: nothing written,
// close 21. A page the file refuses: close 20.
TEST(OggWrite, FailedEncodingIsReportedByTheClose) {
  TempDir dir;
  std::vector<int16_t> source = MusicSignal(256, 256, 44100);
  for (const AudioInfo& info : {EncoderInfo(44100, 1, -1.0f, 1), EncoderInfo(44100, 1, std::nanf("")),
                                EncoderInfo(44100, 256, 0.4f)}) {
    EXPECT_EQ(Encode(dir / "refused.ogg", source, info, "kept"), 21) << info.channels;
    EXPECT_EQ(ReadBytes(dir / "refused.ogg").size(), 4u);
  }
  platform::File file = platform::OpenExistingReadOnly(dir / "refused.ogg");
  auto stream = MakeStream(file, kStreamModeWrite, 0, EncoderInfo(22050, 1, 0.4f));
  ASSERT_EQ(OggVorbisOpenWrite(*stream), 0);
  ASSERT_EQ(stream->writeShort(*stream, source.data(), 2000), 2000);
  EXPECT_EQ(stream->close(*stream), 20);
}

class OggReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OggEncode(dir_, MusicSignal(4 * 22050, 2, 22050), 2, 22050, 2, dir_ / "source.ogg"));
    source_ = ReadBytes(dir_ / "source.ogg");
    // Page starts; oggenc gives the header pages granule position 0.
    for (size_t at = 0; at + 27 <= source_.size(); at += PageSize(at)) {
      pages_.push_back(at);
      if (headerEnd_ == 0 && std::any_of(&source_[at + 6], &source_[at + 14], [](uint8_t b) { return b; })) {
        headerEnd_ = at;
      }
    }
  }
  size_t PageSize(size_t at) const {
    size_t size = 27 + source_[at + 26];
    for (size_t i = 0; i < source_[at + 26]; ++i) size += source_[at + 27 + i];
    return size;
  }
  // Opens bytes[offset, offset + length) inside a file holding `bytes`.
  int Open(const std::vector<uint8_t>& bytes, size_t offset = 0, size_t length = SIZE_MAX) {
    WriteBytes(dir_ / "case.bin", bytes.data(), bytes.size());
    file_ = platform::OpenExistingReadOnly(dir_ / "case.bin");
    platform::SeekFile(file_, offset, platform::SeekOrigin::kBegin);
    stream_ = MakeStream(file_, kStreamModeRead, std::min(length, bytes.size() - offset));
    int result = OggVorbisOpenRead(*stream_);
    EXPECT_EQ(stream_->codecdata == nullptr, result != 0);
    return result;
  }
  std::vector<uint8_t> Cut(size_t end) const { return {source_.begin(), source_.begin() + end}; }

  TempDir dir_;
  std::vector<uint8_t> source_;
  std::vector<size_t> pages_;
  size_t headerEnd_ = 0;
  platform::File file_;
  std::unique_ptr<AudioStream> stream_;
};

// Sets the CRC of the page at `at` (polynomial 0x04C11DB7, initial value 0,
// over the page with its CRC field zeroed), as the Ogg format describes it.
void FixPageCrc(std::vector<uint8_t>& ogg, size_t at, size_t size) {
  std::fill_n(&ogg[at + 22], 4, 0);
  uint32_t crc = 0;
  for (size_t i = at; i < at + size; ++i) {
    crc ^= uint32_t{ogg[i]} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  std::memcpy(&ogg[at + 22], &crc, 4);
}

TEST_F(OggReadTest, CutsInsideTheHeadersGive83AndHeadersAloneGive8) {
  ASSERT_GE(pages_.size(), 4u);
  ASSERT_GT(headerEnd_, pages_[1]);
  for (size_t end = 0; end < source_.size(); end += 97) {
    int result = Open(Cut(end));
    EXPECT_TRUE(end < headerEnd_ ? result == 83 : result == 0 || result == 8) << end << ": " << result;
  }
  EXPECT_EQ(Open(Cut(headerEnd_)), 8);
}

TEST_F(OggReadTest, ForeignOrDamagedHeadersGive83) {
  EXPECT_EQ(Open(std::vector<uint8_t>(5000, 0)), 83);
  // An Ogg page made by hand whose only packet is an Opus identification.
  std::vector<uint8_t> opus = {'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 1, 19};
  const char head[] = "OpusHead\x01\x02\x38\x01\x80\xbb\0\0\0\0\0";
  opus.insert(opus.end(), head, head + 19);
  FixPageCrc(opus, 0, opus.size());
  EXPECT_EQ(Open(opus), 83);
  // Codebooks begin with the sync pattern "BCV"; break the first one.
  const char sync[] = "BCV";
  auto at = std::search(source_.begin() + pages_[1], source_.end(), sync, sync + 3) - source_.begin();
  size_t page = *(std::upper_bound(pages_.begin(), pages_.end(), at) - 1);
  ASSERT_LT(page, headerEnd_);
  source_[at] = 'X';
  FixPageCrc(source_, page, PageSize(page));
  EXPECT_EQ(Open(source_), 83);
}

// With the rest of the same stream right after the window, decoding still
// stops where the window ends: a pack's next entry is never decoded.
TEST_F(OggReadTest, DecodingStaysInsideTheWindow) {
  size_t split = pages_[pages_.size() / 2];
  ASSERT_EQ(Open(Cut(split)), 0);
  std::vector<int16_t> alone = ReadAll(*stream_);
  ASSERT_EQ(Open(source_), 0);
  EXPECT_LT(alone.size(), ReadAll(*stream_).size());
  std::vector<uint8_t> embedded(source_);
  embedded.insert(embedded.begin(), 11, 0);
  ASSERT_EQ(Open(embedded, 11, split), 0);
  EXPECT_EQ(ReadAll(*stream_), alone);
}

}  // namespace
