// SPDX-License-Identifier: GPL-2.0-or-later
// Two-tone signals and where their peaks come back, and the modes as test
// parameters, for the tests of the TwinVQ libraries and of VQF packing.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/twinvq/twinvq.h"
#include "convert/fft.h"

// How a mode of kTvqModes shows in a test's name: "22050Hz_24kbps".
inline void PrintTo(const TvqMode& mode, std::ostream* out) { *out << mode.sampleRate << "Hz_" << mode.kbps << "kbps"; }

namespace twinvq_test {

// Names the tests of INSTANTIATE_TEST_SUITE_P(..., ValuesIn(kTvqModes), ModeName).
inline std::string ModeName(const testing::TestParamInfo<TvqMode>& mode) { return testing::PrintToString(mode.param); }

inline constexpr double kPi = std::numbers::pi;

// Two steady tones at 2.5 % and 10.5 % of the sample rate, the second
// channel's louder one second.
inline std::vector<int16_t> TwoTones(uint32_t rate, int channels, double seconds) {
  const size_t frames = static_cast<size_t>(rate * seconds);
  std::vector<int16_t> s(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double a = 2 * kPi * 0.025 * i, b = 2 * kPi * 0.105 * i;
      s[i * channels + c] = static_cast<int16_t>(std::lround(c == 0 ? 9000 * std::sin(a) + 5000 * std::sin(b)
                                                                     : 4000 * std::sin(a + 1) + 8000 * std::sin(b)));
    }
  }
  return s;
}

// The two strongest peaks of channel `ch` of the middle 8192 frames (Hann
// window) as fractions of the sample rate, lower first.
template <typename Sample>
std::pair<double, double> TwoPeaks(const std::vector<Sample>& s, int channels, int ch) {
  constexpr int kOrder = 13, kN = 1 << kOrder;
  const size_t start = (s.size() / channels - kN) / 2;
  std::vector<double> data(2 * kN), table(SineTablesSize(kN)), scratch(2 * kN);
  for (int n = 0; n < kN; ++n) {
    data[2 * n] = double(s[(start + n) * channels + ch]) * (0.5 - 0.5 * std::cos(2 * kPi * n / kN));
  }
  MakeSineTables(table.data(), kN);
  FftForward(data.data(), kOrder, table.data(), scratch.data());
  std::vector<double> power(kN / 2);
  for (int k = 0; k < kN / 2; ++k) power[k] = data[2 * k] * data[2 * k] + data[2 * k + 1] * data[2 * k + 1];
  const auto strongest = [&](int except) {
    int best = 1;
    for (int k = 1; k < kN / 2; ++k) {
      if (std::abs(k - except) > 8 && power[k] > power[best]) best = k;
    }
    return best;
  };
  const int first = strongest(-100), second = strongest(first);
  return {double(std::min(first, second)) / kN, double(std::max(first, second)) / kN};
}

}  // namespace twinvq_test
