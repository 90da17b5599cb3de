// Encoding at close through libmp4enc.so: the ADTS stream as the faad
// command, ffmpeg and the module decode it, its headers read by hand, its
// channel places, what it refuses; and, through a stand-in library, the
// calls the module makes and the failures it reports.
#include <gtest/gtest.h>

#include "aac/aac_test_support.h"
#include "audio/codec_libraries/codec_libraries.h"

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

// 1 and 2 channels, 8 to 48 kHz, low complexity (codecOption 1) and main
// (0), written after other bytes: every frame's header says MPEG-4 without
// CRC, the profile asked for, the rate's index, the channels, a length that
// chains to the next frame and a variable-rate buffer fullness. faad (which
// doubles rates up to 24 kHz) and ffmpeg (which keeps its 1024 samples of
// priming) decode it to the written length plus less than a frame; ffmpeg's
// samples are near the source's, and the module's near ffmpeg's.
TEST(AacWrite, DecodedByFaadAndFfmpeg) {
  TempDir dir;
  const std::string prefix = "entry before the stream", aac = dir / "out.aac";
  const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  for (auto [rate, channels, option] : {std::array{8000, 1, 1}, {11025, 2, 0}, {16000, 2, 1}, {22050, 1, 0},
                                        {32000, 1, 1}, {44100, 2, 1}, {48000, 2, 0}, {44100, 1, 0}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz " + std::to_string(channels) + " option " + std::to_string(option));
    const size_t frames = size_t(rate) * 3 / 5;
    const std::vector<int16_t> source = MusicSignal(int(frames), channels, rate);
    ASSERT_EQ(Encode(dir / "out.bin", source, EncoderInfo(rate, channels, 64000, uint16_t(option)), prefix), 0);
    const Bytes written = ReadBytes(dir / "out.bin");
    const Bytes stream(written.begin() + long(prefix.size()), written.end());
    WriteBytes(aac, stream);
    const std::vector<size_t> starts = AdtsFrames(stream);
    ASSERT_FALSE(starts.empty());
    for (size_t at : starts) {
      const uint8_t* h = stream.data() + at;
      EXPECT_EQ((std::array<int, 6>{h[1], h[2] >> 6, h[2] >> 2 & 15, (h[2] & 1) << 2 | h[3] >> 6,
                                    (h[5] & 31) << 6 | h[6] >> 2, h[6] & 3}),
                (std::array<int, 6>{0xF1, option == 1 ? 1 : 0, int(std::find(rates, rates + 12, rate) - rates),
                                    channels, 0x7FF, 0}));
    }
    const uint8_t* last = stream.data() + starts.back();
    EXPECT_EQ(starts.back() + ((last[3] & 3u) << 11 | last[4] << 3 | last[5] >> 5), stream.size());

    const Decoded faad = FaadDecode(dir, aac);
    ASSERT_GT(faad.channels, 0u);
    const size_t scale = faad.samplerate / rate, faadFrames = faad.samples.size() / faad.channels;
    EXPECT_GE(faadFrames, frames * scale);
    EXPECT_LT(faadFrames, (frames + 1024) * scale);
    const std::vector<int16_t> ffmpeg = DecodeWith("ffmpeg", dir, aac);
    EXPECT_GE(ffmpeg.size(), (frames + 1024) * channels);
    EXPECT_LT(ffmpeg.size(), (frames + 2048) * channels);
    const std::vector<int16_t> past(ffmpeg.begin() + std::min<long>(1024L * channels, long(ffmpeg.size())),
                                    ffmpeg.end());
    EXPECT_GE(SnrDb(source, past), 12.0);
    EXPECT_GE(SnrDb(past, FirstChannels(ModuleDecode(aac), 2, channels)), 30.0);
  }
}

// A two-tone signal at 128 kbit/s per channel comes back within 20 dB in
// both profiles, where faad places it (no priming left at 44100 Hz) and
// past ffmpeg's priming. The stream is the one ffmpeg's own ADTS writer makes
// from the same samples at the same bit rate, byte for byte.
TEST(AacWrite, TwoTonesAndFfmpegsOwnStream) {
  TempDir dir;
  const std::vector<int16_t> source = TwoTones(44100, 2, 44100);
  for (uint16_t option : {1, 0}) {
    ASSERT_EQ(Encode(dir / "out.aac", source, EncoderInfo(44100, 2, 128000, option)), 0);
    EXPECT_GE(SnrDb(source, FaadDecode(dir, dir / "out.aac").samples), 20.0) << option;
    const std::vector<int16_t> ffmpeg = DecodeWith("ffmpeg", dir, dir / "out.aac");
    ASSERT_GT(ffmpeg.size(), 2048u);
    EXPECT_GE(SnrDb(source, std::vector<int16_t>(ffmpeg.begin() + 2048, ffmpeg.end())), 20.0) << option;
  }
  ASSERT_TRUE(FfmpegAdts(dir, source, 2, 44100, 256, dir / "ffmpeg.aac"));
  ASSERT_EQ(Encode(dir / "ours.aac", source, EncoderInfo(44100, 2, 128000)), 0);
  EXPECT_EQ(ReadBytes(dir / "ours.aac"), ReadBytes(dir / "ffmpeg.aac"));
}

// Channel c comes back as channel c, at its own level. The last of 6 and of
// 8 is the low-frequency channel, which keeps only low tones (90 Hz here).
TEST(AacWrite, ChannelsKeepTheirPlaces) {
  TempDir dir;
  for (int channels : {3, 4, 5, 6, 8}) {
    std::vector<int16_t> source(size_t(48000) * channels);
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
      EXPECT_NEAR(std::sqrt(energy / (48000 - 8192)), 2500.0 * (c + 1) / std::sqrt(2.0), 150.0 * (c + 1))
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
// each call's bytes written in order; the module asks for object type 2
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
