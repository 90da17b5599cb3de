// SPDX-License-Identifier: GPL-2.0-or-later
// The Ogg Vorbis module against oggenc, oggdec and ffmpeg: decoding, the
// encoder's output and settings, the stream's window, damaged streams.
#include "audio/ogg_vorbis/ogg_vorbis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "ogg_vorbis/ogg_test_support.h"

using namespace ogg_test;

namespace {

int OpenRead(platform::File& file, std::unique_ptr<AudioStream>& stream, const std::string& path, int64_t offset,
             int64_t length) {
  return OpenWindow(OggVorbisOpenRead, file, stream, path, offset, length);
}

// Both use libvorbis: only the rounding to 16 bits differs (oggdec rounds,
// the module truncates), which keeps the difference near 65 dB.
TEST(OggRead, MatchesOggdecAtSeveralRatesChannelsAndQualities) {
  TempDir dir;
  const std::string ogg = dir / "in.ogg";
  for (auto [rate, channels, quality] : {std::array{8000, 1, -1}, {22050, 2, 2}, {44100, 2, 6}, {48000, 6, 4}}) {
    SCOPED_TRACE(rate);
    ASSERT_TRUE(OggEncode(dir, MusicSignal(rate, channels, rate), channels, rate, quality, ogg));
    platform::File file;
    std::unique_ptr<AudioStream> stream;
    ASSERT_EQ(OpenRead(file, stream, ogg, 0, int64_t(ReadBytes(ogg).size())), 0);
    const AudioInfo& info = stream->info;
    EXPECT_EQ((std::array{info.samplerate, info.channels, info.pcmbitwidth, info.format}),
              (std::array<uint32_t, 4>{uint32_t(rate), uint32_t(channels), 16, FMT_OGG}));
    EXPECT_EQ(stream->blockwidth, 2 * channels);
    const std::vector<int16_t> decoded = ReadAll(*stream), reference = DecodeWith("oggdec", dir, ogg);
    EXPECT_EQ(decoded.size(), size_t{info.samples} * channels);
    EXPECT_EQ(decoded.size(), reference.size());
    EXPECT_GE(SnrDb(reference, decoded), 60.0);
    EXPECT_EQ(stream->close(*stream), 0);
  }
}

AudioInfo EncoderInfo(int rate, int channels, float quality, uint32_t bitrate = 0) {
  AudioInfo info = stream_test::Describe(FMT_OGG, 16, channels, rate);
  info.quality = quality;
  info.bitrate = bitrate;
  return info;
}

int Encode(const std::string& path, const std::vector<int16_t>& samples, const AudioInfo& info,
           const std::string& prefix = "") {
  return EncodeWith(OggVorbisOpenWrite, path, samples, info, prefix);
}

// The stream is written at the file's position, and every frame reaches the
// encoder, also when the channel count does not divide the 1024-sample
// chunk (2 channels: a whole number of chunks). oggdec (libvorbis, as the
// encoder), ffmpeg (a decoder of its own) and the module decode it.
TEST(OggWrite, DecodedByOthersAndByTheModule) {
  TempDir dir;
  const std::string prefix = "entry before the stream", out = dir / "out.bin";
  for (auto [channels, frames, rate] : {std::array{1, 2500, 22050}, {2, 86 * 512, 44100}, {3, 3000, 22050}}) {
    SCOPED_TRACE(channels);
    const std::vector<int16_t> source = MusicSignal(frames, channels, rate);
    ASSERT_EQ(Encode(out, source, EncoderInfo(rate, channels, 0.4f), prefix), 0);
    const Bytes bytes = ReadBytes(out);
    ASSERT_GT(bytes.size(), prefix.size() + 4);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + prefix.size() + 4), prefix + "OggS");
    WriteBytes(dir / "out.ogg", Bytes(bytes.begin() + prefix.size(), bytes.end()));
    for (const std::string decoder : {"oggdec", "ffmpeg"}) {
      std::vector<int16_t> decoded = DecodeWith(decoder, dir, dir / "out.ogg");
      for (size_t i = 0; channels == 3 && decoder == "ffmpeg" && i < decoded.size(); i += 3) {
        std::swap(decoded[i + 1], decoded[i + 2]);  // ffmpeg puts the centre (Vorbis: L, C, R) last
      }
      EXPECT_EQ(decoded.size(), source.size()) << decoder;
      EXPECT_GE(SnrDb(source, decoded), 20.0) << decoder;
    }
    platform::File file;
    std::unique_ptr<AudioStream> stream;
    ASSERT_EQ(OpenRead(file, stream, out, prefix.size(), bytes.size() - prefix.size()), 0);
    EXPECT_GE(SnrDb(source, ReadAll(*stream)), 20.0);
  }
}

// Maximum, nominal and minimum bit rate of the identification header, which
// lies at byte 28 of the first page.
std::array<int32_t, 3> HeaderBitrates(const std::string& path) {
  std::array<int32_t, 3> rates{};
  std::memcpy(rates.data(), ReadBytes(path).data() + 44, 12);
  return rates;
}

// Quality -1 (not set) and 0 select the bitrate-managed set-up; any other
// quality the quality set-up, whose header oggenc at that quality gives too.
TEST(OggWrite, QualitySelectsManagedOrQualityMode) {
  TempDir dir;
  const std::vector<int16_t> source = MusicSignal(4000, 2, 44100);
  ASSERT_TRUE(OggEncode(dir, source, 2, 44100, 4, dir / "oggenc.ogg"));
  for (auto [quality, minBitrate, maxBitrate, header] :
       {std::tuple{-1.0f, 0u, 0u, std::array{64000, 64000, 64000}}, {0.0f, 0u, 0u, {64000, 64000, 64000}},
        {-1.0f, 48000u, 96000u, {96000, 64000, 48000}}, {0.4f, 48000u, 96000u, HeaderBitrates(dir / "oggenc.ogg")}}) {
    AudioInfo info = EncoderInfo(44100, 2, quality, 64000);
    info.minBitrate = minBitrate;
    info.maxBitrate = maxBitrate;
    ASSERT_EQ(Encode(dir / "mode.ogg", source, info), 0);
    EXPECT_EQ(HeaderBitrates(dir / "mode.ogg"), header) << quality;
  }
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

// An oggenc stream, its page starts, and where its audio pages begin
// (oggenc gives the header pages granule position 0).
class OggReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OggEncode(dir_, MusicSignal(4 * 22050, 2, 22050), 2, 22050, 2, dir_ / "source.ogg"));
    source_ = ReadBytes(dir_ / "source.ogg");
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
  int Open(const Bytes& bytes, size_t offset = 0, size_t length = SIZE_MAX) {
    WriteBytes(dir_ / "case.bin", bytes);
    return OpenRead(file_, stream_, dir_ / "case.bin", offset, std::min(length, bytes.size() - offset));
  }
  Bytes Cut(size_t end) const { return {source_.begin(), source_.begin() + end}; }

  TempDir dir_;
  Bytes source_;
  std::vector<size_t> pages_;
  size_t headerEnd_ = 0;
  platform::File file_;
  std::unique_ptr<AudioStream> stream_;
};

// Cuts inside the headers (every 97 bytes), an Ogg FLAC stream from ffmpeg,
// a broken codebook: 83. The headers alone: 8.
TEST_F(OggReadTest, HeaderFaults) {
  ASSERT_GT(headerEnd_, pages_[1]);
  for (size_t end = 0; end < source_.size(); end += 97) {
    int result = Open(Cut(end));
    EXPECT_TRUE(end < headerEnd_ ? result == 83 : result == 0 || result == 8) << end << ": " << result;
  }
  EXPECT_EQ(Open(Cut(headerEnd_)), 8);
  ASSERT_TRUE(RunQuietly("ffmpeg -y -f lavfi -i sine=duration=0.2 -c:a flac -f ogg '" + dir_ / "flac.oga" + "'"));
  EXPECT_EQ(Open(ReadBytes(dir_ / "flac.oga")), 83);
  // Codebooks begin with the sync pattern "BCV"; break the first one.
  const char sync[] = "BCV";
  auto at = std::search(source_.begin() + pages_[1], source_.end(), sync, sync + 3) - source_.begin();
  size_t page = *(std::upper_bound(pages_.begin(), pages_.end(), at) - 1);
  ASSERT_LT(page, headerEnd_);
  source_[at] = 'X';
  FixPageCrc(source_, page, PageSize(page));
  EXPECT_EQ(Open(source_), 83);
}

// A hand-made stream of one-byte packets, each 4096 frames of silence. Ten
// of them (about 100 samples per byte) decode; nine pages of 255 claiming
// 2.4e9 samples of 255 channels are refused after a few packets, long
// before their samples would fill 4 GiB.
TEST_F(OggReadTest, SamplesPerByteAreBounded) {
  ASSERT_EQ(Open(SilentVorbisStream(1, 8000, 1, 10)), 0);
  const std::vector<int16_t> silence = ReadAll(*stream_);
  EXPECT_EQ(silence.size(), 9u * 4096);
  EXPECT_TRUE(std::all_of(silence.begin(), silence.end(), [](int16_t s) { return s == 0; }));
  const Bytes bomb = SilentVorbisStream(255, 48000, 9);
  ASSERT_LT(bomb.size(), 5000u);
  EXPECT_EQ(Open(bomb), 83);
  EXPECT_NE(std::string(stream_->logbuffer).find("bytes decode to more than"), std::string::npos);
}

// With the rest of the same stream right after the window, decoding still
// stops where the window ends: a pack's next entry is never decoded.
TEST_F(OggReadTest, DecodingStaysInsideTheWindow) {
  size_t split = pages_[pages_.size() / 2];
  ASSERT_EQ(Open(Cut(split)), 0);
  std::vector<int16_t> alone = ReadAll(*stream_);
  ASSERT_EQ(Open(source_), 0);
  EXPECT_LT(alone.size(), ReadAll(*stream_).size());
  Bytes embedded(source_);
  embedded.insert(embedded.begin(), 11, 0);
  ASSERT_EQ(Open(embedded, 11, split), 0);
  EXPECT_EQ(ReadAll(*stream_), alone);
}

}  // namespace

namespace {

// With SOURCE_DATE_EPOCH set, every stream's serial number is glibc's first
// rand() after srand(epoch), whatever the process drew before and however
// many streams it wrote.
TEST(OggWrite, SerialComesFromSourceDateEpochAlone) {
  TempDir dir;
  const std::string path = dir / "serial.ogg";
  AudioInfo info;
  info.channels = 1;
  info.samplerate = 8000;
  info.quality = 0.1f;
  const std::vector<int16_t> samples = MusicSignal(3000, 1, 8000);
  for (const char* epoch : {"0", "1", "1700000000", "2147483653", "4294967295"}) {
    ASSERT_EQ(setenv("SOURCE_DATE_EPOCH", epoch, 1), 0);
    std::srand(static_cast<unsigned>(std::strtoul(epoch, nullptr, 10)));
    const uint32_t expected = static_cast<uint32_t>(std::rand() % 32768);
    for (int round = 0; round < 2; ++round) {
      std::srand(12345 + round);  // what the process drew before does not count
      (void)std::rand();
      ASSERT_EQ(EncodeWith(OggVorbisOpenWrite, path, samples, info), 0);
      const Bytes ogg = ReadBytes(path);
      ASSERT_GT(ogg.size(), 18u);
      EXPECT_EQ(uint32_t(ogg[14]) | uint32_t(ogg[15]) << 8 | uint32_t(ogg[16]) << 16 | uint32_t(ogg[17]) << 24,
                expected)
          << epoch;
    }
  }
  unsetenv("SOURCE_DATE_EPOCH");
}

}  // namespace
