// Encoding at close through libmp4enc.so: the ADTS stream it writes as the
// faad command and ffmpeg decode it, its headers read by hand, its channel
// places, the rates and channel counts it refuses; and, through a stand-in
// library, the calls the module makes and the failures it reports.
#include <gtest/gtest.h>

#include <cmath>

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

// The ADTS sampling-frequency index of a rate.
unsigned RateIndex(int rate) {
  const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  return unsigned(std::find(std::begin(rates), std::end(rates), rate) - std::begin(rates));
}

std::vector<int16_t> FfmpegDecode(const TempDir& dir, const std::string& path) {
  return DecodeWith("ffmpeg", dir, path);
}

// 1 and 2 channels, 8 to 48 kHz, low complexity (codecOption 1) and main
// (0): every frame's header says MPEG-4, the profile asked for, the rate,
// the channels, its own length (the frames fill the stream exactly) and a
// variable-rate buffer fullness; the faad command and ffmpeg decode it to the
// written length plus at most the codec's priming and last frame; the
// module decodes it as faad does; ffmpeg's samples, past its 1024-sample
// priming, are near the source.
TEST(AacWrite, DecodedByFaadAndFfmpeg) {
  TempDir dir;
  const std::string prefix = "entry before the stream", out = dir / "out.bin", aac = dir / "out.aac";
  for (auto [rate, channels, option] : {std::array{8000, 1, 1}, {11025, 2, 0}, {16000, 2, 1}, {22050, 1, 0},
                                        {32000, 1, 1}, {44100, 2, 1}, {48000, 2, 0}, {44100, 1, 0}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels, option " +
                 std::to_string(option));
    const int frames = rate * 3 / 5;
    const std::vector<int16_t> source = MusicSignal(frames, channels, rate);
    ASSERT_EQ(Encode(out, source, EncoderInfo(rate, channels, 64000, uint16_t(option)), prefix), 0);
    const Bytes written = ReadBytes(out);
    ASSERT_GT(written.size(), prefix.size());
    const Bytes stream(written.begin() + long(prefix.size()), written.end());
    WriteBytes(aac, stream);
    size_t covered = 0;
    for (const AdtsFrame& f : SplitAdts(stream)) {
      const uint8_t* h = stream.data() + f.offset;
      EXPECT_EQ(h[1], 0xF1);  // MPEG-4, no CRC
      EXPECT_EQ(h[2] >> 6, option == 1 ? 1 : 0);
      EXPECT_EQ((h[2] >> 2) & 0x0F, RateIndex(rate));
      EXPECT_EQ(((h[2] & 1) << 2) | (h[3] >> 6), channels);
      EXPECT_EQ(((h[5] & 0x1F) << 6) | (h[6] >> 2), 0x7FF);
      EXPECT_EQ(h[6] & 3, 0);
      covered += f.length;
    }
    EXPECT_EQ(covered, stream.size());
    const size_t adtsFrames = SplitAdts(stream).size();

    const Decoded faad = FaadDecode(dir, aac);
    ASSERT_GT(faad.channels, 0u);
    const size_t scale = faad.samplerate / rate, faadFrames = faad.samples.size() / faad.channels;
    EXPECT_EQ(faadFrames, (adtsFrames - 1) * 1024 * scale);
    EXPECT_GE(faadFrames, size_t(frames) * scale);
    EXPECT_LT(faadFrames, size_t(frames + 1024) * scale);
    const std::vector<int16_t> module = ModuleDecode(aac);
    EXPECT_EQ(module.size(), (adtsFrames - 1) * 1024 * 2);
    if (scale == 1) {
      EXPECT_EQ(module, faad.samples);
    }

    const std::vector<int16_t> ffmpeg = FfmpegDecode(dir, aac);
    EXPECT_GE(ffmpeg.size(), size_t(frames + 1024) * channels);
    EXPECT_LT(ffmpeg.size(), size_t(frames + 2048) * channels);
    const std::vector<int16_t> past(ffmpeg.begin() + std::min<long>(1024L * channels, long(ffmpeg.size())),
                                    ffmpeg.end());
    EXPECT_GE(SnrDb(source, past), 12.0);
    EXPECT_GE(SnrDb(past, FirstChannels(module, 2, channels)), 30.0);
  }
}

// A two-tone signal at 128 kbit/s per channel comes back within 20 dB, in
// both profiles; faad (no priming left at 44100 Hz) and ffmpeg (1024
// samples of priming) agree on where it lies.
TEST(AacWrite, TwoTonesAt128KbpsPerChannel) {
  TempDir dir;
  const std::vector<int16_t> source = TwoTones(44100, 2, 44100);
  for (uint16_t option : {1, 0}) {
    SCOPED_TRACE(option);
    ASSERT_EQ(Encode(dir / "out.aac", source, EncoderInfo(44100, 2, 128000, option)), 0);
    const Decoded faad = FaadDecode(dir, dir / "out.aac");
    EXPECT_GE(SnrDb(source, faad.samples), 20.0);
    const std::vector<int16_t> ffmpeg = FfmpegDecode(dir, dir / "out.aac");
    ASSERT_GT(ffmpeg.size(), 2048u);
    EXPECT_GE(SnrDb(source, std::vector<int16_t>(ffmpeg.begin() + 2048, ffmpeg.end())), 20.0);
  }
}

// The stream is the one ffmpeg's own ADTS writer makes from the same
// samples at the same bit rate, byte for byte.
TEST(AacWrite, SameBytesAsFfmpegsAdtsWriter) {
  TempDir dir;
  const std::vector<int16_t> source = MusicSignal(30000, 2, 44100);
  ASSERT_TRUE(FfmpegAdts(dir, source, 2, 44100, 192, dir / "ffmpeg.aac"));
  ASSERT_EQ(Encode(dir / "ours.aac", source, EncoderInfo(44100, 2, 96000)), 0);
  EXPECT_EQ(ReadBytes(dir / "ours.aac"), ReadBytes(dir / "ffmpeg.aac"));
}

// Channel c is coded as channel c of the configuration and decoded there:
// each keeps its own level. The last of 6 and of 8 channels is the
// low-frequency channel, which keeps only low tones.
TEST(AacWrite, ChannelsKeepTheirPlaces) {
  TempDir dir;
  for (int channels : {3, 4, 5, 6, 8}) {
    SCOPED_TRACE(channels);
    std::vector<int16_t> source(size_t(48000) * channels);
    for (size_t i = 0; i < source.size(); ++i) {
      const int c = int(i % channels);
      source[i] = int16_t(std::lrint(2500.0 * (c + 1) * std::sin(2 * M_PI * 90 * double(i / channels) / 48000)));
    }
    ASSERT_EQ(Encode(dir / "out.aac", source, EncoderInfo(48000, channels, 64000)), 0);
    AudioInfo info;
    const std::vector<int16_t> decoded = ModuleDecode(dir / "out.aac", &info);
    ASSERT_EQ(info.channels, uint32_t(channels));
    for (int c = 0; c < channels; ++c) {
      double energy = 0;
      size_t n = 0;
      for (size_t i = 8192 * size_t(channels) + c; i < std::min(source.size(), decoded.size()); i += channels, ++n) {
        energy += double(decoded[i]) * decoded[i];
      }
      ASSERT_GT(n, 0u);
      EXPECT_NEAR(std::sqrt(energy / double(n)), 2500.0 * (c + 1) / std::sqrt(2.0), 150.0 * (c + 1)) << c;
    }
  }
}

// Rates outside the ADTS table and channel counts without a channel
// configuration are refused at the close (21), and nothing is written; an
// encoder library that cannot be loaded fails the open (82).
TEST(AacWrite, RefusalsWriteNothing) {
  TempDir dir;
  for (auto [rate, channels] : {std::array{7350, 1}, {44000, 2}, {8000, 7}, {8000, 9}}) {
    SCOPED_TRACE(std::to_string(rate) + " " + std::to_string(channels));
    EXPECT_EQ(Encode(dir / "out.aac", MusicSignal(3000, channels, rate), EncoderInfo(rate, channels, 64000)),
              kErrorInternal);
    EXPECT_TRUE(ReadBytes(dir / "out.aac").empty());
  }
  UnloadCodecLibraries();
  SetCodecLibraryFileName(CodecLibraryId::kAacEncoder, "libspoolex-no-such-encoder.so");
  platform::File file = platform::OpenExistingReadWrite(dir / "out.aac");
  EXPECT_EQ(AacOpenWrite(*MakeStream(file, kStreamModeWrite, 0, EncoderInfo(8000, 1, 64000))), kErrorAacLibrary);
  SetCodecLibraryFileName(CodecLibraryId::kAacEncoder, nullptr);
}

// Through a stand-in library taking 2048 samples a call: 5000 stereo
// samples go as 2048, 2048 and 904, then the flush calls until one returns
// 0, every coded byte written in order; the settings the module gives
// (object type 2 for codecOption 1, main otherwise; the bit rate per
// channel; MPEG-4, ADTS, 16-bit input). An encoder error fails the close
// with 80, a failed write with 20.
class AacWriteStub : public ::testing::Test {
 protected:
  void SetUp() override {
    UnloadCodecLibraries();
    SetCodecLibraryFileName(CodecLibraryId::kAacEncoder, STUB_ENCODER_PATH);
    ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kAacEncoder), 0);
  }
  void TearDown() override {
    UnloadCodecLibraries();
    SetCodecLibraryFileName(CodecLibraryId::kAacEncoder, nullptr);
  }
  template <typename T>
  T& Stub(const char* name) {
    void* address = platform::ResolveSymbol(GetCodecLibrary(CodecLibraryId::kAacEncoder).module, name);
    EXPECT_NE(address, nullptr) << name;
    return *static_cast<T*>(address);
  }
  TempDir dir_;
};

TEST_F(AacWriteStub, CallsSettingsAndFailures) {
  const std::vector<int16_t> samples = MusicSignal(2500, 2, 44100);
  for (uint16_t option : {1, 0, 2}) {
    ASSERT_EQ(Encode(dir_ / "out.aac", samples, EncoderInfo(44100, 2, 96000, option)), 0);
    EXPECT_EQ(ReadBytes(dir_ / "out.aac"), test_support::ToBytes("ABCDABCDABCDxyzxyz"));
    EXPECT_EQ(Stub<int>("stub_calls"), 6);
    const unsigned* counts = &Stub<unsigned>("stub_counts");
    EXPECT_EQ(std::vector<unsigned>(counts, counts + 6), (std::vector<unsigned>{2048, 2048, 904, 0, 0, 0}));
    const auto& applied = Stub<faacEncConfiguration>("stub_applied");
    EXPECT_EQ(applied.aacObjectType, option == 1 ? unsigned(LOW) : unsigned(MAIN)) << option;
    EXPECT_EQ((std::array<unsigned long, 4>{applied.bitRate, applied.mpegVersion, applied.outputFormat,
                                            applied.inputFormat}),
              (std::array<unsigned long, 4>{96000, MPEG4, ADTS_STREAM, FAAC_INPUT_16BIT}));
  }
  for (int failing : {0, 3}) {
    Stub<int>("stub_fail_call") = failing;
    EXPECT_EQ(Encode(dir_ / "out.aac", samples, EncoderInfo(44100, 2, 96000)), kErrorAacEncoding) << failing;
  }
  Stub<int>("stub_fail_call") = -1;
  // A file open for reading only refuses the first write.
  WriteBytes(dir_ / "read-only.aac", {});
  platform::File file = platform::OpenExistingReadOnly(dir_ / "read-only.aac");
  auto stream = MakeStream(file, kStreamModeWrite, 0, EncoderInfo(44100, 2, 96000));
  ASSERT_EQ(AacOpenWrite(*stream), 0);
  ASSERT_EQ(stream->writeShort(*stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
  EXPECT_EQ(stream->close(*stream), kErrorShortWrite);
}

}  // namespace
