// SPDX-License-Identifier: GPL-2.0-or-later
// The converter's settings, block geometry, output counts, refusals and
// its silence at debug level 0.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "convert/rate_converter.h"

namespace {

std::unique_ptr<RateConvState> Defaults(double ratio, int channels, long& inSize) {
  return RateConvInit(0, ratio, channels, -1, -1.0f, -1.0f, -1.0f, inSize);
}

// Defaults: h = 242 (instant 0 on filtered point h + 9), N = 4096 and
// df = 0.02734375. Below ratio 1 filter 1 runs at the input rate on blocks of
// twice the new input. Output instant j lies at input time j / ratio and a
// call's instants stop h + 9 input frames ((h + 9) / 2 when filter 1 also
// upsamples) before the end of the input consumed, so after K calls there are
// ceil((consumed - lag) * ratio) instants per channel.
TEST(RateConv, DefaultsSettleTheDocumentedGeometryAndCounts) {
  for (double ratio : {2.0, 1.0, -3.0, 0.5, 0.25, 48000.0 / 44100.0}) {
    const bool direct = ratio > 0 && ratio < 1;
    for (int channels : {1, 2}) {
      long inSize = 0;
      auto st = Defaults(ratio, channels, inSize);
      ASSERT_NE(st, nullptr);
      EXPECT_EQ(st->offset, 251);
      EXPECT_EQ(st->fftOrder, 12);
      EXPECT_EQ(st->transition, 0.02734375);
      EXPECT_EQ(st->cutoff, ratio == 0.25 ? 0.47265625f : 0.97265625f);
      EXPECT_EQ(inSize, direct ? 7188 : 3594);
      const std::vector<int16_t> input(static_cast<size_t>(inSize), 1000);  // counts do not depend on values
      long total = 0;
      for (int k = 1; k <= 6; ++k) {
        const float* out = nullptr;
        total += RateConv(*st, input.data(), inSize, out);
        const double consumed = static_cast<double>(k) * inSize / channels, lag = direct ? 251.0 : 125.5;
        const long expected = channels * static_cast<long>(std::ceil((consumed - lag) * (ratio < 0 ? 1.0 : ratio)));
        EXPECT_NEAR(total, expected, channels) << "ratio " << ratio << " call " << k;
        if (ratio == 2.0 && k <= 2) {  // the documented first and later counts
          EXPECT_EQ(total, channels == 1 ? 6937 + (k - 1) * 7188 : 6686 + (k - 1) * 7188);
        }
      }
    }
  }
}

// A block's output taken in pieces, by converters that share one model's
// tables, is value for value what RateConv returns, at ratios with instants
// on whole points and between them.
TEST(RateConvEmit, PiecesAndSharedTablesGiveRateConvsValues) {
  for (double ratio : {2.0, 0.5, 48000.0 / 44100.0, 37.0}) {
    for (int channels : {1, 2}) {
      long inSize = 0;
      auto whole = Defaults(ratio, channels, inSize);
      auto model = Defaults(ratio, channels, inSize);
      ASSERT_NE(model, nullptr);
      auto shared = RateConvShare(*model);
      ASSERT_NE(shared, nullptr);
      std::vector<int16_t> input(static_cast<size_t>(inSize));
      for (int call = 0; call < 2; ++call) {  // the second after the first block's state
        for (size_t i = 0; i < input.size(); ++i) {
          input[i] = static_cast<int16_t>(12000 * std::sin(0.01 * (i + call * input.size())) + 37 * (i % 5));
        }
        const float* expected = nullptr;
        const int count = RateConv(*whole, input.data(), inSize, expected);
        for (RateConvState* st : {model.get(), shared.get()}) {
          RateConvFeed(*st, input.data());
          std::vector<float> got;
          std::vector<float> piece(7);
          for (int n; (n = RateConvEmit(*st, piece.data(), 2 + (got.size() % 6))) > 0;) {
            got.insert(got.end(), piece.begin(), piece.begin() + n);
          }
          ASSERT_EQ(got.size(), static_cast<size_t>(count)) << ratio << " " << channels;
          for (int k = 0; k < count; ++k) ASSERT_EQ(got[k], expected[k]) << ratio << " value " << k;
        }
      }
    }
  }
}

TEST(RateConvInit, RefusesSettingsWithoutAWorkingFilterAndTakesGivenEdges) {
  long inSize = -5;
  // 0.0136: 2 * ratio <= df; 1e6: one call's output too large.
  for (double ratio : {0.0, 0.0136, std::nan(""), double(INFINITY), 1e6}) {
    EXPECT_EQ(Defaults(ratio, 1, inSize), nullptr) << ratio;
  }
  EXPECT_NE(Defaults(0.014, 1, inSize), nullptr);
  // Taps that leave a block no room for new input. Short filters are too
  // wide to derive a cutoff from, so one is given.
  for (int taps : {0, 3, 5, 6, 15, 16, 17, 18, 16386}) {
    const bool works = taps == 6 || taps == 15 || taps == 18;
    EXPECT_EQ(RateConvInit(0, 2.0, 1, taps, -1.0f, 0.4f, -1.0f, inSize) != nullptr, works) << taps;
  }
  EXPECT_EQ(RateConvInit(0, 2.0, 1, -1, std::nanf(""), -1.0f, -1.0f, inSize), nullptr);
  EXPECT_EQ(RateConvInit(0, 2.0, 1, -1, 1000.0f, -1.0f, -1.0f, inSize), nullptr);
  EXPECT_EQ(RateConvInit(0, 2.0, 1, -1, -1.0f, 0.0f, -1.0f, inSize), nullptr);
  // Given edges choose the filter: a passband edge filters at the input rate.
  auto passband = RateConvInit(0, 1.0, 1, -1, -1.0f, 0.2f, -1.0f, inSize);
  auto stopband = RateConvInit(0, 1.0, 1, -1, -1.0f, -1.0f, 0.75f, inSize);
  ASSERT_TRUE(passband && stopband);
  EXPECT_EQ(std::pair(passband->direct, passband->cutoff), std::pair(1, 0.4f));
  EXPECT_EQ(std::pair(stopband->direct, stopband->cutoff), std::pair(0, static_cast<float>(0.75 - 0.02734375)));
}

// At debug level 0 (spoolex's), a converter prints nothing on the standard
// output that carries spoolex's lines.
TEST(DebugMessages, NoneAtLevelZero) {
  long inSize = 0;
  ::testing::internal::CaptureStdout();
  auto st = Defaults(0.5, 1, inSize);
  ASSERT_NE(st, nullptr);
  const std::vector<int16_t> input(static_cast<size_t>(inSize));
  const float* out = nullptr;
  (void)RateConv(*st, input.data(), inSize, out);
  RateConvFree(std::move(st));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
