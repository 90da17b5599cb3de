// SPDX-License-Identifier: GPL-2.0-or-later
// The project's TwinVQ libraries, loaded by their bare names as spoolex
// loads them: two tones through the VQF layer at every mode (peaks in place,
// sample for sample in time, SNR), frames that fill the fixed bits through
// the layer's frame writer, the set-up codes, the encoder's block switching,
// and the lapped transform's perfect reconstruction across every change of
// block type.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <random>
#include <vector>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/stream/audio_stream.h"
#include "audio/vqf/vqf_bitstream.h"
#include "audio/vqf/vqf_frames.h"
#include "audio_stream/stream_test_support.h"
#include "codecs/twinvq/tvq_layout.h"
#include "codecs/twinvq/tvq_transform.h"
#include "twinvq/twinvq_test_support.h"

namespace {

using twinvq_test::kPi;
using twinvq_test::TwoPeaks;
using twinvq_test::TwoTones;

AudioInfo VqfInfo(const TvqMode& m, int channels) {
  AudioInfo info = stream_test::Describe(FMT_VQF, 16, channels, m.sampleRate);
  info.bitrate = m.kbps * 1000;
  return info;
}

// At every mode of the table, mono and stereo: the stream holds the whole
// frames plus the three of the layer, every value fits its field (the frame
// writer prints nothing), and the samples come back in time with their two
// peaks in place; at 44.1 kHz and 48 kbit/s per channel at 12 dB SNR at
// least. (That the same samples give the same bytes: OneStreamIsCodedAtATime.)
class TwinVqModes : public ::testing::TestWithParam<TvqMode> {};

TEST_P(TwinVqModes, TwoTonesRoundTripInPlaceAndInTime) {
  test_support::TempDir dir;
  const std::string path = dir / "tones.vqf";
  const TvqMode& m = GetParam();
  for (int channels = 1; channels <= 2; ++channels) {
    SCOPED_TRACE(testing::Message() << channels << " ch");
    // The 8192 frames the peaks are measured on, four frames and a part.
    const int frameSize = m.sampleRate == 8000 ? 256 : m.sampleRate == 44100 ? 1024 : 512;
    const std::vector<int16_t> in = TwoTones(m.sampleRate, channels, (8192 + 4.3 * frameSize) / m.sampleRate);
    testing::internal::CaptureStdout();
    ASSERT_EQ(stream_test::WriteThroughLayer(path, VqfInfo(m, channels), in), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const int64_t frames = int64_t(in.size() / channels) / frameSize + 3;
    const int64_t frameBits = (int64_t{m.kbps} * 1000 * channels * frameSize + m.sampleRate / 2) / m.sampleRate;
    EXPECT_EQ(int64_t(test_support::ReadBytes(path).size()), 44 + (frames * frameBits + 7) / 8);

    AudioInfo back;
    back.format = FMT_VQF;
    const std::vector<int16_t> out = stream_test::ReadThroughLayer(path, back);
    EXPECT_EQ(back.samplerate, m.sampleRate);
    EXPECT_EQ(back.channels, uint32_t(channels));
    EXPECT_EQ(back.bitrate, uint32_t(m.kbps * 1000));
    ASSERT_EQ(int64_t(out.size()), (frames - 2) * frameSize * channels);
    for (int ch = 0; ch < channels; ++ch) {
      const auto [low, high] = TwoPeaks(out, channels, ch);
      EXPECT_NEAR(low, 0.025, 0.0005);
      EXPECT_NEAR(high, 0.105, 0.0005);
    }
    EXPECT_GE(stream_test::SnrDb(in, out), m.sampleRate == 44100 && m.kbps == 48 ? 12.0 : 8.0);
    // One frame early or late, the tones are out of phase.
    std::vector<int16_t> late(size_t(frameSize * channels), 0);
    late.insert(late.end(), in.begin(), in.end());
    EXPECT_LT(stream_test::SnrDb(late, out), 3.0);
  }
}
INSTANTIATE_TEST_SUITE_P(EveryMode, TwinVqModes, ::testing::ValuesIn(kTvqModes), twinvq_test::ModeName);

// Each library codes one stream at a time. A read stream holds the decoder
// from its first read to its last frame, a write stream the encoder from its
// first samples to its close: streams that take turns code as alone (a
// stream opened, then left while another is read whole, reads right after
// it). A stream set up while another is being coded ends that one, which
// then fails with 71 (its reads deliver no more, its close writes no more)
// and never codes with the other's state.
TEST(TwinVqStreams, OneStreamIsCodedAtATime) {
  test_support::TempDir dir;
  const std::string a = dir / "a.vqf", b = dir / "b.vqf";
  const std::vector<int16_t> inA = TwoTones(22050, 1, 1.0), inB = TwoTones(44100, 2, 0.5);
  ASSERT_EQ(stream_test::WriteThroughLayer(a, VqfInfo(kTvqModes[3], 1), inA), 0);
  ASSERT_EQ(stream_test::WriteThroughLayer(b, VqfInfo(kTvqModes[kTvqModeCount - 1], 2), inB), 0);
  AudioInfo infoA, infoB;
  infoA.format = infoB.format = FMT_VQF;
  const std::vector<int16_t> wantA = stream_test::ReadThroughLayer(a, infoA);
  const std::vector<int16_t> wantB = stream_test::ReadThroughLayer(b, infoB);
  ASSERT_FALSE(wantA.empty());

  platform::File fileA = platform::OpenExistingReadOnly(a);
  StreamPtr first(OpenStreamRead(a.c_str(), &fileA, &infoA, 0));
  ASSERT_TRUE(first);
  EXPECT_EQ(stream_test::ReadThroughLayer(b, infoB), wantB);
  std::vector<int16_t> got(wantA.size());
  ASSERT_EQ(ReadShorts(first.get(), got.data(), 2048), 2048);
  EXPECT_EQ(stream_test::ReadThroughLayer(b, infoB), wantB);  // takes the decoder
  const int64_t rest = int64_t(got.size()) - 2048;
  EXPECT_LT(ReadShorts(first.get(), got.data() + 2048, rest), rest);
  EXPECT_EQ(StreamError(first.get()), kErrorVqfUnspecified);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2048, wantA.begin()));

  AudioInfo info = VqfInfo(kTvqModes[3], 1);
  const std::string path = dir / "ended.vqf";
  AudioStream* ended = OpenFileWrite(path.c_str(), &info);
  ASSERT_NE(ended, nullptr);
  ASSERT_EQ(WriteShorts(ended, inA.data(), 4096), 4096);
  const test_support::Bytes bytesB = test_support::ReadBytes(b);
  ASSERT_EQ(stream_test::WriteThroughLayer(b, VqfInfo(kTvqModes[kTvqModeCount - 1], 2), inB), 0);  // takes the encoder
  EXPECT_EQ(test_support::ReadBytes(b), bytesB);
  ASSERT_EQ(WriteShorts(ended, inA.data() + 4096, 4096), 4096);
  EXPECT_EQ(CloseStream(ended), kErrorVqfUnspecified);
  EXPECT_FALSE(std::filesystem::exists(path));
}

// Loads the project's libraries for the tests that call their entry points
// through the binding.
class TwinVqLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    UnloadCodecLibraries();
    ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kTwinVqDecoder), 0);
    ASSERT_EQ(OpenCodecLibrary(CodecLibraryId::kTwinVqEncoder), 0);
  }
  void TearDown() override { UnloadCodecLibraries(); }
};

VqfHeaderInfo Header(int kilohertz, int channels, int kbps) {
  VqfHeaderInfo h{};
  std::memcpy(h.id, TVQ_VERSION_ID, 13);
  h.channelMode = channels - 1;
  h.bitRate = kbps * channels;
  h.samplingRate = kilohertz;
  return h;
}

TEST_F(TwinVqLibraries, SetUpCodesNameWhatTheyRefuse) {
  VqfFrameIndex index{};
  VqfEncoderSetup setup{16};
  struct Case {
    VqfHeaderInfo header;
    int32_t result;
  };
  std::vector<Case> cases;
  for (const TvqMode& m : kTvqModes) cases.push_back({Header(m.samplingCode, 2, m.kbps), 0});
  VqfHeaderInfo version = Header(44, 1, 48), channels = version, reserved = version;
  version.id[11] = '1';
  channels.channelMode = 2;
  reserved.reservedWord = 1;
  cases.push_back({version, 2});
  cases.push_back({channels, 3});
  for (auto [khz, kbps] : {std::pair{44, 20}, {22, 48}, {16, 16}, {8, 10}, {11, 0}}) cases.push_back({Header(khz, 1, kbps), 4});
  VqfHeaderInfo odd = Header(22, 2, 20);
  odd.bitRate = 41;  // no whole rate per channel
  cases.push_back({odd, 4});
  cases.push_back({reserved, 5});
  for (Case& c : cases) {
    EXPECT_EQ(codec::TvqInitialize(&c.header, &index, 0), c.result) << c.header.samplingRate << " " << c.header.bitRate;
    EXPECT_EQ(codec::TvqEncInitialize(&c.header, &setup, &index, 0), c.result);
    if (c.result == 0) {
      EXPECT_EQ(codec::TvqGetNumChannels(), 2);
    }
    codec::TvqTerminate(&index);
    codec::TvqEncTerminate(&index);
  }
  VqfHeaderInfo good = Header(22, 1, 20);
  for (auto [candidates, result] : {std::pair{4, 0}, {16, 0}, {32, 0}, {8, 6}, {0, 6}, {-16, 6}}) {
    setup.preselectionCandidates = candidates;
    EXPECT_EQ(codec::TvqEncInitialize(&good, &setup, &index, 0), result) << candidates;
    codec::TvqEncTerminate(&index);
  }
  char known[] = "TWIN97012000", other[] = "TWIN97012001", empty[] = "";
  EXPECT_NE(codec::TvqCheckVersion(known), -1);
  EXPECT_EQ(codec::TvqCheckVersion(other), -1);
  EXPECT_EQ(codec::TvqCheckVersion(empty), -1);
}

// Every field of a frame index set to all ones of its width (-1 writes no
// overflow line), for block type `bt` of the configuration.
void FillAllOnes(VqfFrameIndex& index, const VqfCodecConfig& config, int bt) {
  const VqfBlockConfig& b = config.blocks[bt];
  const int c = config.channels;
  std::fill_n(index.shape, 2 * b.shapeDivisions, -1);
  std::fill_n(index.forwardShort, c * b.subBlocks * b.forwardDivisions, -1);
  std::fill_n(index.forwardAr, c * b.subBlocks, -1);
  std::fill_n(index.power, c * (b.subPowers + 1), -1);
  std::fill_n(index.codebookPitch, 2 * config.pitchDivisions, -1);
  for (int ch = 0; ch < c; ++ch) {
    std::fill_n(index.lsp[ch], 2 + config.lsp2Count, -1);
    std::fill_n(index.indexPb[ch], b.subBlocks * (b.pbEnd - b.pbStart), -1);
    index.indexPitch[ch] = index.indexPgain[ch] = -1;
  }
}

// Through the layer's frame writer, a frame of every window type takes the
// decoder's fixed bits, which times the frame rate is the mode's bit rate to
// the nearest bit per frame; the reader accepts every such frame and the
// decoder makes finite samples of the widest values. Widths stay in 1 to 32.
TEST_F(TwinVqLibraries, EveryBlockTypeFillsTheFixedBits) {
  for (const TvqMode& m : kTvqModes) {
    for (int channels = 1; channels <= 2; ++channels) {
      SCOPED_TRACE(testing::Message() << m.sampleRate << " Hz " << m.kbps << " kbit/s " << channels << " ch");
      VqfHeaderInfo header = Header(m.samplingCode, channels, m.kbps);
      VqfEncoderSetup setup{32};
      VqfFrameIndex encoded{}, decoded{};
      ASSERT_EQ(codec::TvqInitialize(&header, &decoded, 0), 0);
      ASSERT_EQ(codec::TvqEncInitialize(&header, &setup, &encoded, 0), 0);
      ASSERT_EQ(init_frame_reader(header), 0);
      init_frame_writer();
      const int bits = codec::TvqGetNumFixedBitsPerFrame();
      const int frameSize = codec::TvqGetFrameSize();
      ASSERT_EQ(codec::TvqEncGetFrameSize(), frameSize);
      const double perSecond = double(bits) * m.sampleRate / frameSize;
      EXPECT_LE(std::abs(perSecond - m.kbps * 1000.0 * channels), 0.5 * m.sampleRate / frameSize);

      VqfCodecConfig config{};
      int32_t* first[kVqfWidthRows] = {};
      int32_t* second[kVqfWidthRows] = {};
      codec::TvqEncGetConfInfo(&config);
      codec::TvqEncGetVectorInfo(first, second);
      for (int bt = 0; bt < 3; ++bt) {
        for (int i = 0; i < config.blocks[bt].shapeDivisions; ++i) {
          EXPECT_TRUE(first[bt][i] >= 1 && first[bt][i] <= 32 && second[bt][i] >= 1 && second[bt][i] <= 32);
        }
      }
      platform::File file(::memfd_create("frames", MFD_CLOEXEC));
      std::vector<bool> types(3, false);
      int frames = 0;
      for (int32_t windowType = 0; windowType < (1 << config.windowTypeBits); ++windowType) {
        int32_t bt = -1;
        if (codec::TvqWtypeToBtype(windowType, &bt) != 0) continue;
        ASSERT_TRUE(bt >= 0 && bt <= 2);
        types[size_t(bt)] = true;
        encoded.windowType = windowType;
        encoded.blockType = bt;
        FillAllOnes(encoded, config, bt);
        BitstreamFile* out = open_bstm(&file, kBitstreamWrite);
        testing::internal::CaptureStdout();
        write_vqf_frame(&encoded, out);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(out->bitPosition, bits) << windowType;
        out->bitPosition = 8 * ((bits + 7) / 8);  // each frame from a byte of its own
        ASSERT_TRUE(close_bstm(out));
        ++frames;
      }
      EXPECT_EQ(types, std::vector<bool>(3, true));
      platform::SeekFile(file, 0, platform::SeekOrigin::kBegin);
      std::vector<float> samples(size_t(channels * frameSize));
      for (int f = 0; f < frames; ++f) {
        BitstreamFile* in = open_bstm(&file, kBitstreamRead);
        ASSERT_EQ(read_vqf_frame(&decoded, in), 1) << f;
        codec::TvqDecodeFrame(&decoded, samples.data());
        for (float v : samples) ASSERT_TRUE(std::isfinite(v));
        platform::SeekFile(file, (f + 1) * ((bits + 7) / 8), platform::SeekOrigin::kBegin);
        ASSERT_TRUE(close_bstm(in));
      }
      codec::TvqTerminate(&decoded);
      codec::TvqEncTerminate(&encoded);
    }
  }
}

// The encoder's block types for `samples` (channel after channel in frames
// of the encoder's size), one per frame, from a run at 44.1 kHz.
std::vector<int> BlockTypes(const std::vector<float>& samples, int channels) {
  VqfHeaderInfo header = Header(44, channels, 48);
  VqfEncoderSetup setup{16};
  VqfFrameIndex index{};
  EXPECT_EQ(codec::TvqEncInitialize(&header, &setup, &index, 0), 0);
  const size_t block = size_t(channels) * codec::TvqEncGetFrameSize();
  std::vector<float> frame(block);
  std::vector<int> types;
  for (size_t at = 0; at + block <= samples.size(); at += block) {
    std::copy_n(samples.begin() + at, block, frame.begin());
    codec::TvqEncodeFrame(frame.data(), &index);
    types.push_back(index.blockType);
  }
  codec::TvqEncTerminate(&index);
  return types;
}

// A click every 10 frames over a quiet tone gives short blocks at the frame
// whose block holds the click in its middle (block k covers input frames
// k - 2 and k - 1) and long blocks away from the clicks; a steady tone gives
// long blocks once it has begun. Through the layer, every click comes back
// at its sample.
TEST_F(TwinVqLibraries, ClicksGiveShortBlocksAndASteadyToneLongOnes) {
  constexpr int kFrame = 1024, kFrames = 16;
  for (int channels = 1; channels <= 2; ++channels) {
    std::vector<float> tone(size_t(channels) * kFrame * kFrames), clicks = tone;
    std::vector<int> clickAt;
    for (int f = 0; f < kFrames; ++f) {
      for (int ch = 0; ch < channels; ++ch) {
        for (int i = 0; i < kFrame; ++i) {
          const float v = float(8000 * std::sin(2 * kPi * 0.01 * (f * kFrame + i)));
          tone[size_t((f * channels + ch) * kFrame + i)] = v;
          clicks[size_t((f * channels + ch) * kFrame + i)] = v / 40;
        }
        if (f % 10 == 3) clicks[size_t((f * channels + ch) * kFrame + 300)] = 30000;
      }
      if (f % 10 == 3) clickAt.push_back(f * kFrame + 300);
    }
    // The tone's start, out of the silence before the stream, is an attack.
    const std::vector<int> steady = BlockTypes(tone, channels);
    EXPECT_EQ(std::vector<int>(steady.begin() + 3, steady.end()), std::vector<int>(kFrames - 3, 0));
    const std::vector<int> types = BlockTypes(clicks, channels);
    for (int f = 0; f < kFrames; ++f) {
      // Where the short sub-blocks of frame f's block lie in the input.
      const int from = (f - 2) * kFrame + kFrame / 2 - 64, to = (f - 2) * kFrame + 3 * kFrame / 2 + 64;
      bool holdsClick = false, nearClick = false;
      for (int t : clickAt) {
        holdsClick = holdsClick || (t >= from && t < to);
        nearClick = nearClick || (t >= from - 2 * kFrame && t < to + 2 * kFrame);
      }
      if (holdsClick) {
        EXPECT_EQ(types[size_t(f)], 2) << f;
      } else if (!nearClick) {
        EXPECT_EQ(types[size_t(f)], 0) << f;
      }
    }

    std::vector<int16_t> interleaved(clicks.size());
    for (int f = 0; f < kFrames; ++f) {
      for (int ch = 0; ch < channels; ++ch) {
        for (int i = 0; i < kFrame; ++i) {
          interleaved[size_t((f * kFrame + i) * channels + ch)] =
              int16_t(std::lround(clicks[size_t((f * channels + ch) * kFrame + i)]));
        }
      }
    }
    test_support::TempDir dir;
    const std::string path = dir / "clicks.vqf";
    ASSERT_EQ(stream_test::WriteThroughLayer(path, VqfInfo(kTvqModes[kTvqModeCount - 1], channels), interleaved), 0);
    AudioInfo back;
    back.format = FMT_VQF;
    const std::vector<int16_t> out = stream_test::ReadThroughLayer(path, back);
    for (int t : clickAt) {
      int loudest = t - 64;
      for (int i = t - 64; i < t + 64; ++i) {
        if (std::abs(out[size_t(i * channels)]) > std::abs(out[size_t(loudest * channels)])) loudest = i;
      }
      EXPECT_LE(std::abs(loudest - t), 1) << t;
      EXPECT_GT(out[size_t(t * channels)], 10000) << t;
    }
  }
}

// The MDCT against its defining sum, and analysis then synthesis with
// overlap-add giving the input back, for block-type sequences that take
// every transition, at every frame size.
TEST(TwinVqTransform, PerfectReconstructionAcrossBlockTypes) {
  for (int m : {16, 64, 256}) {
    tvq::Mdct mdct(m);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1, 1);
    std::vector<float> x(2 * m), got(m);
    for (float& v : x) v = noise(random);
    mdct.Forward(x.data(), got.data());
    for (int k = 0; k < m; ++k) {
      double want = 0;
      for (int n = 0; n < 2 * m; ++n) want += x[n] * std::cos(kPi / m * (n + 0.5 + m / 2.0) * (k + 0.5));
      EXPECT_NEAR(got[k], want * std::sqrt(2.0 / m), 1e-4) << m << " " << k;
    }
  }
  const std::vector<int> sequence = {0, 0, 1, 1, 2, 2, 0, 2, 1, 0, 1, 2, 0, 0};
  for (const TvqMode& mode : {kTvqModes[0], kTvqModes[1], kTvqModes[kTvqModeCount - 1]}) {
    tvq::ModeLayout layout;
    ASSERT_TRUE(tvq::BuildLayout(mode.samplingCode, 1, mode.kbps, &layout));
    tvq::BlockTransform transform(layout);
    const int f = layout.frameSize, blocks = int(sequence.size());
    std::mt19937 random(1);
    std::uniform_real_distribution<float> noise(-20000, 20000);
    std::vector<float> x(static_cast<size_t>((blocks + 1) * f)), coefficients(static_cast<size_t>(f));
    std::vector<float> y(x.size(), 0.0f);
    for (float& v : x) v = noise(random);
    for (int k = 0; k < blocks; ++k) {
      const int previous = k > 0 ? sequence[k - 1] : 0, next = k + 1 < blocks ? sequence[k + 1] : 0;
      tvq::WindowShape shape;
      ASSERT_TRUE(tvq::DecodeWindowType(tvq::WindowTypeBetween(previous, sequence[k], next), &shape));
      ASSERT_EQ(shape.blockType, sequence[k]);
      transform.Analyse(x.data() + k * f, shape, coefficients.data());
      transform.Synthesise(coefficients.data(), shape, y.data() + k * f);
    }
    for (int i = f; i < blocks * f; ++i) ASSERT_NEAR(y[size_t(i)], x[size_t(i)], 0.05) << mode.sampleRate << " " << i;
  }
}

}  // namespace
