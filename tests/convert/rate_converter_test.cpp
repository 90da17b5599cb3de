// The converter's settings, block geometry, output counts, refusals and
// debug messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "convert/rate_converter.h"

namespace {

std::unique_ptr<RateConvState> Defaults(double ratio, int channels, long& inSize) {
  return RateConvInit(0, ratio, channels, -1, -1.0f, -1.0f, -1.0f, inSize);
}

std::vector<int16_t> Noise(size_t count, unsigned seed) {
  std::vector<int16_t> v(count);
  for (size_t i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = static_cast<int16_t>(seed >> 16);
  }
  return v;
}

struct Geometry {
  double ratio;
  int direct, blockLen, newLen, outSize;
  double step;
  float fc;
};

class DefaultGeometry : public ::testing::TestWithParam<Geometry> {};

TEST_P(DefaultGeometry, SettlesTheDocumentedValues) {
  const Geometry g = GetParam();
  long inSize = 0;
  auto st = Defaults(g.ratio, 1, inSize);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->offset, 251);  // h = 242
  EXPECT_EQ(st->fftOrder, 12);
  EXPECT_EQ(st->transition, 0.02734375);  // bin 1052 of 2048
  EXPECT_EQ(st->position, 251.0);
  EXPECT_EQ(st->direct, g.direct);
  EXPECT_EQ(st->blockLen, g.blockLen);
  EXPECT_EQ(st->newLen, g.newLen);
  EXPECT_EQ(st->step, g.step);
  EXPECT_EQ(st->cutoff, g.fc);
  EXPECT_EQ(inSize, 2L * g.newLen);
  EXPECT_EQ(st->outSize, g.outSize);
}

INSTANTIATE_TEST_SUITE_P(
    Ratios, DefaultGeometry,
    ::testing::Values(Geometry{2.0, 0, 2048, 1797, 7200, 1.0, 0.97265625f},
                      Geometry{1.0, 0, 2048, 1797, 3602, 2.0, 0.97265625f},
                      Geometry{-3.0, 0, 2048, 1797, 3602, 2.0, 0.97265625f},  // as 1.0
                      Geometry{0.5, 1, 4096, 3594, 3600, 2.0, 0.97265625f},
                      Geometry{0.25, 1, 4096, 3594, 1802, 4.0, 0.47265625f}),
    [](const auto& info) {
      const double r = info.param.ratio;
      return std::string(r < 0 ? "minus" : "ratio") +
             std::to_string(static_cast<int>(std::abs(r) * 100));
    });

// Output instant j lies at input time j / ratio and a call's instants stop
// (h + 9) / 2 input frames (h + 9 when filtering at the input rate) before
// the end of the input consumed, so after K calls there are
// ceil((consumed - lag) * ratio) instants per channel.
TEST(RateConv, CountsFollowTheOutputInstants) {
  for (double ratio : {2.0, 1.0, 0.5, 0.25, 48000.0 / 44100.0}) {
    for (int channels : {1, 2}) {
      long inSize = 0;
      auto st = Defaults(ratio, channels, inSize);
      ASSERT_NE(st, nullptr);
      const double lag = st->direct != 0 ? 251.0 : 125.5;
      const std::vector<int16_t> input = Noise(static_cast<size_t>(inSize), 7);
      long total = 0;
      for (int k = 1; k <= 6; ++k) {
        const float* out = nullptr;
        total += RateConv(*st, input.data(), inSize, out);
        const double consumed = static_cast<double>(k) * inSize / channels;
        const long expected = channels * static_cast<long>(std::ceil((consumed - lag) * ratio));
        EXPECT_NEAR(total, expected, channels) << "ratio " << ratio << " call " << k;
        if (ratio == 2.0 && k <= 2) {  // the documented first and later counts
          EXPECT_EQ(total, channels == 1 ? 6937 + (k - 1) * 7188 : 6686 + (k - 1) * 7188);
        }
      }
    }
  }
}

std::vector<float> RunBlocks(RateConvState& st, const std::vector<int16_t>& input, long inSize,
                             long numSampleIn) {
  std::vector<float> all;
  for (size_t at = 0; at + inSize <= input.size(); at += inSize) {
    const float* out = nullptr;
    const int n = RateConv(st, input.data() + at, numSampleIn, out);
    all.insert(all.end(), out, out + n);
  }
  return all;
}

TEST(RateConv, NegativeRatioAndNumSampleInChangeNothing) {
  long inSize = 0;
  auto one = Defaults(1.0, 1, inSize);
  auto negative = Defaults(-0.5, 1, inSize);
  const std::vector<int16_t> input = Noise(3 * static_cast<size_t>(inSize), 11);
  const std::vector<float> a = RunBlocks(*one, input, inSize, inSize);
  const std::vector<float> b = RunBlocks(*negative, input, inSize, 1);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}

TEST(RateConvInit, RefusesSettingsWithoutAWorkingFilter) {
  long inSize = -5;
  EXPECT_EQ(Defaults(0.0, 1, inSize), nullptr);
  EXPECT_EQ(Defaults(0.0136, 1, inSize), nullptr);  // 2 * ratio <= df
  EXPECT_NE(Defaults(0.014, 1, inSize), nullptr);
  EXPECT_EQ(Defaults(std::nan(""), 1, inSize), nullptr);
  EXPECT_EQ(Defaults(INFINITY, 1, inSize), nullptr);
  EXPECT_EQ(Defaults(1e6, 1, inSize), nullptr);  // one call's output too large
  // Taps that leave a block no room for new input.
  // Short filters are too wide to derive a cutoff from, so one is given.
  for (int taps : {0, 3, 5, 16, 17, 16386}) {
    EXPECT_EQ(RateConvInit(0, 2.0, 1, taps, -1.0f, 0.4f, -1.0f, inSize), nullptr) << taps;
  }
  for (int taps : {6, 15, 18}) {
    EXPECT_NE(RateConvInit(0, 2.0, 1, taps, -1.0f, 0.4f, -1.0f, inSize), nullptr) << taps;
  }
  EXPECT_EQ(RateConvInit(0, 2.0, 1, -1, std::nanf(""), -1.0f, -1.0f, inSize), nullptr);
  EXPECT_EQ(RateConvInit(0, 2.0, 1, -1, 1000.0f, -1.0f, -1.0f, inSize), nullptr);
  EXPECT_EQ(RateConvInit(0, 2.0, 1, -1, -1.0f, 0.0f, -1.0f, inSize), nullptr);
}

TEST(RateConvInit, GivenEdgesChooseTheFilter) {
  long inSize = 0;
  auto passband = RateConvInit(0, 1.0, 1, -1, -1.0f, 0.2f, -1.0f, inSize);
  ASSERT_NE(passband, nullptr);
  EXPECT_EQ(passband->direct, 1);
  EXPECT_EQ(passband->cutoff, 0.4f);
  auto stopband = RateConvInit(0, 1.0, 1, -1, -1.0f, -1.0f, 0.75f, inSize);
  ASSERT_NE(stopband, nullptr);
  EXPECT_EQ(stopband->direct, 0);
  EXPECT_EQ(stopband->cutoff, static_cast<float>(0.75 - 0.02734375));
}

TEST(DebugMessages, PrintSettingsAndCounts) {
  long inSize = 0;
  ::testing::internal::CaptureStdout();
  auto st = RateConvInit(1, 2.0, 1, -1, -1.0f, -1.0f, -1.0f, inSize);
  ASSERT_NE(st, nullptr);
  const std::vector<int16_t> input(static_cast<size_t>(inSize));
  const float* out = nullptr;
  (void)RateConv(*st, input.data(), 42, out);
  RateConvFree(std::move(st));
  const std::string text = ::testing::internal::GetCapturedStdout();
  debugLevel = 0;
  EXPECT_EQ(text,
            "RateConvInit: debugLevel=1 ratio=2.000000 numChannel=1\n"
            "htaps1=-1 a1=-1.000000 fc=-1.000000 fd=-1.000000\n"
            "RateConvInit: inSize=3594 outSize=7200\n"
            "  output/input ratio :     2.00\n"
            "  cutoff frequency   :     0.9727\n"
            "  Kaiser parameter   :    10.0000\n"
            "  filter 1 taps      :   485\n"
            "  filter 1 transition:     0.0137\n"
            "  FFT length         :  4096\n"
            "  oversampling factor:   256\n"
            "RateConv: numSampleIn=42\n"
            "RateConvFree: sampleIn=3594 sampleOut=6937\n");

  ::testing::internal::CaptureStdout();
  auto half = RateConvInit(0, 0.5, 1, -1, -1.0f, -1.0f, -1.0f, inSize);
  RateConvFree(std::move(half));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
