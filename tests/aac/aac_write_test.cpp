// SPDX-License-Identifier: GPL-2.0-or-later
// Encoding through libmp4enc.so: the ADTS stream against ffmpeg's
// own and as the faad command and ffmpeg decode it, its channel places, what
// it refuses; and, through a stand-in library, the calls the module makes and
// the failures it reports.
#include <gtest/gtest.h>

#include "aac/aac_test_support.h"

using namespace aac_test;

namespace {

AudioInfo EncoderInfo(int rate, int channels, uint32_t bitratePerChannel, uint16_t codecOption = 1) {
  AudioInfo info = stream_test::Describe(FMT_MP4, 16, channels, rate);
  info.bitrate = bitratePerChannel;
  info.codecOption = codecOption;
  return info;
}

int Encode(const std::string& path, const std::vector<int16_t>& samples, const AudioInfo& info,
           const std::string& prefix = "") {
  return EncodeWith(AacOpenWrite, path, samples, info, prefix);
}

// Two tones at 1 and 2 channels, 8 to 96 kHz, low complexity (codecOption
// 1) and main (0 or any other value), written after other bytes: the stream
// is byte for byte the one ffmpeg's encoder and ADTS writer make of the
// same samples with that profile and bit rate, so every header (profile,
// rate index, channels, frame length, buffer fullness) is as theirs and
// every sample is coded. At 44100 Hz and 128 kbit/s per channel ffmpeg
// decodes it to the samples written plus its 1024 of priming and less than
// a frame, and the faad command (no priming there) and ffmpeg (past the
// priming) give the tones within 20 dB.
TEST(AacWrite, TheStreamIsFfmpegsOwn) {
  TempDir dir;
  const std::string prefix = "entry before the stream";
  for (auto [rate, channels, option, kbps] :
       {std::array{8000, 1, 1, 64}, {11025, 2, 0, 64}, {22050, 1, 2, 64}, {44100, 2, 1, 128}, {44100, 2, 0, 128},
        {96000, 1, 0, 64}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz " + std::to_string(channels) + " option " + std::to_string(option));
    const std::vector<int16_t> source = TwoTones(rate * 2 / 5, channels, rate);
    const AudioInfo info = EncoderInfo(rate, channels, uint32_t(kbps) * 1000, uint16_t(option));
    ASSERT_EQ(Encode(dir / "out.bin", source, info, prefix), 0);
    ASSERT_TRUE(FfmpegAdts(dir, source, channels, rate, kbps * channels, dir / "ffmpeg.aac",
                           option == 1 ? "aac_low" : "aac_main"));
    const Bytes stream = ReadBytes(dir / "ffmpeg.aac");
    EXPECT_EQ(ReadBytes(dir / "out.bin"), Join({test_support::ToBytes(prefix), stream}));
    if (kbps != 128) continue;  // the same bytes decode alike
    const std::vector<int16_t> ffmpeg = DecodeWith("ffmpeg", dir, dir / "ffmpeg.aac");
    ASSERT_GE(ffmpeg.size(), source.size() + 1024u * channels);
    EXPECT_LT(ffmpeg.size(), source.size() + 2048u * channels);
    const std::vector<int16_t> faad = FaadDecode(dir, dir / "ffmpeg.aac").samples;
    EXPECT_EQ(faad.size(), ffmpeg.size() - 2048);
    EXPECT_GE(SnrDb(source, faad), 20.0);
    EXPECT_GE(SnrDb(source, std::vector<int16_t>(ffmpeg.begin() + 2048, ffmpeg.end())), 20.0);
  }
}

// Channel c comes back as channel c, at its own level. The last of 6 and of
// 8 is the low-frequency channel, which keeps only low tones (90 Hz here).
TEST(AacWrite, ChannelsKeepTheirPlaces) {
  TempDir dir;
  constexpr size_t kFrames = 24000;
  for (int channels : {3, 4, 5, 6, 8}) {
    std::vector<int16_t> source(kFrames * channels);
    for (size_t i = 0; i < source.size(); ++i) {
      const double t = double(i / channels) / 48000;
      source[i] = int16_t(std::lrint(2500.0 * double(i % channels + 1) * std::sin(2 * M_PI * 90 * t)));
    }
    ASSERT_EQ(Encode(dir / "out.aac", source, EncoderInfo(48000, channels, 64000)), 0);
    const std::vector<int16_t> decoded = ModuleDecode(dir / "out.aac");
    ASSERT_GE(decoded.size(), source.size());
    for (int c = 0; c < channels; ++c) {
      double energy = 0;
      for (size_t i = 8192 * size_t(channels) + c; i < source.size(); i += channels) {
        energy += double(decoded[i]) * decoded[i];
      }
      EXPECT_NEAR(std::sqrt(energy / (kFrames - 8192)), 2500.0 * (c + 1) / std::sqrt(2.0), 150.0 * (c + 1))
          << channels << " channels, channel " << c;
    }
  }
}

// Rates outside the ADTS table and channel counts without a channel
// configuration are refused at the close (21) with nothing written; an
// encoder library that cannot be loaded fails the open (82).
TEST(AacWrite, RefusalsWriteNothing) {
  TempDir dir;
  for (auto [rate, channels] : {std::array{7350, 1}, {44000, 2}, {8000, 7}, {8000, 9}}) {
    EXPECT_EQ(Encode(dir / "out.aac", MusicSignal(3000, channels, rate), EncoderInfo(rate, channels, 64000)),
              kErrorInternal) << rate << " " << channels;
    EXPECT_TRUE(ReadBytes(dir / "out.aac").empty());
  }
  LibraryInPlace missing(CodecLibraryId::kAacEncoder, "libspoolex-no-such-encoder.so");
  platform::File file = platform::OpenExistingReadWrite(dir / "out.aac");
  EXPECT_EQ(AacOpenWrite(*MakeStream(file, kStreamModeWrite, 0, EncoderInfo(8000, 1, 64000))), kErrorAacLibrary);
}

// Through a stand-in library taking 2048 samples a call: 5000 stereo
// samples go as 2048, 2048 and 904, then flush calls until one returns 0,
// each call's bytes written in order, a chunk's as soon as it is full; the
// module asks for object type 2
// (faac's low complexity) for codecOption 1 and main otherwise, the bit rate
// per channel, MPEG-4, ADTS and 16-bit input. An encoder error fails the
// close with 80, a failed write with 20.
TEST(AacWrite, CallsAndFailuresThroughAStandIn) {
  TempDir dir;
  LibraryInPlace stub(CodecLibraryId::kAacEncoder, STUB_ENCODER_PATH);
  const std::vector<int16_t> samples = MusicSignal(2500, 2, 44100);
  for (uint16_t option : {1, 0, 2}) {
    ASSERT_EQ(Encode(dir / "out.aac", samples, EncoderInfo(44100, 2, 96000, option)), 0);
    EXPECT_EQ(ReadBytes(dir / "out.aac"), test_support::ToBytes("ABCDABCDABCDxyzxyz"));
    const unsigned* counts = &stub.Variable<unsigned>("stub_counts");
    EXPECT_EQ(std::vector<unsigned>(counts, counts + stub.Variable<int>("stub_calls")),
              (std::vector<unsigned>{2048, 2048, 904, 0, 0, 0}));
    const auto& c = stub.Variable<faacEncConfiguration>("stub_applied");
    EXPECT_EQ((std::array<unsigned long, 5>{c.aacObjectType, c.bitRate, c.mpegVersion, c.outputFormat,
                                            c.inputFormat}),
              (std::array<unsigned long, 5>{option == 1 ? 2u : 1u, 96000, MPEG4, ADTS_STREAM, FAAC_INPUT_16BIT}));
  }
  // Each chunk is encoded and written as soon as it is full.
  {
    platform::File file = platform::CreateReplacing(dir / "early.aac");
    auto stream = MakeStream(file, kStreamModeWrite, 0, EncoderInfo(44100, 2, 96000));
    ASSERT_EQ(AacOpenWrite(*stream), 0);
    ASSERT_EQ(stream->writeShort(*stream, samples.data(), 4100), 4100);
    EXPECT_EQ(ReadBytes(dir / "early.aac"), test_support::ToBytes("ABCDABCD"));
    EXPECT_EQ(stream->close(*stream), 0);
    EXPECT_EQ(ReadBytes(dir / "early.aac"), test_support::ToBytes("ABCDABCDABCDxyzxyz"));
  }
  for (int failing : {0, 3}) {
    stub.Variable<int>("stub_fail_call") = failing;
    EXPECT_EQ(Encode(dir / "out.aac", samples, EncoderInfo(44100, 2, 96000)), kErrorAacEncoding) << failing;
  }
  stub.Variable<int>("stub_fail_call") = -1;
  WriteBytes(dir / "read-only.aac", {});
  platform::File file = platform::OpenExistingReadOnly(dir / "read-only.aac");
  auto stream = MakeStream(file, kStreamModeWrite, 0, EncoderInfo(44100, 2, 96000));
  ASSERT_EQ(AacOpenWrite(*stream), 0);
  ASSERT_EQ(stream->writeShort(*stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
  EXPECT_EQ(stream->close(*stream), kErrorShortWrite);
}

}  // namespace
