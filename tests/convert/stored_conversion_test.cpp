// SPDX-License-Identifier: GPL-2.0-or-later
// The conversion to a stored description, on its real path: bit widths,
// channel maps, refusals, and rate changes measured against ideal sines.
#include <gtest/gtest.h>

#include <tuple>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "convert/stored_conversion.h"

namespace {

using Samples = std::vector<int16_t>;

AudioInfo Info(uint32_t rate, uint32_t bits, uint32_t channels, uint32_t frames) {
  AudioInfo info;
  info.samplerate = rate;
  info.pcmbitwidth = bits;
  info.channels = channels;
  info.samples = frames;
  return info;
}

// Converts the decoded samples in `s` (zeros after them, as a stream reads
// past its end) to decoded.samples frames of `stored`, taking the blocks of
// the conversion one after another; on success `s` holds them. Returns 1,
// or 0 when the conversion cannot be set up.
int ConvertWhole(const AudioInfo& decoded, const AudioInfo& stored, Samples& s) {
  size_t next = 0;
  SampleConversionPtr conversion =
      BeginConversion(decoded, stored, decoded.samples, [&](int16_t* to, int64_t n) {
        for (int64_t i = 0; i < n; ++i, ++next) to[i] = next < s.size() ? s[next] : int16_t{0};
        return true;
      });
  if (!conversion) return 0;
  Samples out;
  const int16_t* block = nullptr;
  int64_t n = 0;
  while ((n = NextConverted(*conversion, block)) > 0) {
    EXPECT_LE(n, std::max<int64_t>(kConversionBlockSamples, stored.channels));
    EXPECT_EQ(n % stored.channels, 0);
    out.insert(out.end(), block, block + n);
  }
  EXPECT_EQ(n, 0);
  EXPECT_EQ(out.size(), size_t{stored.channels} * decoded.samples);
  s = out;
  return 1;
}

// 8 bits widen by shifting; narrowing floors; equal descriptions pass the
// samples as they are.
TEST(BitWidth, WideningShiftsNarrowingFloorsEqualLeavesAlone) {
  const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, Samples, Samples> rows[] = {  // bits, channels, frames
      {8, 16, 1, 5, {-128, -1, 0, 1, 127}, {-32768, -256, 0, 256, 32512}},
      {16, 8, 2, 3, {-32768, -257, -1, 255, 256, 32767}, {-128, -2, -1, 0, 1, 127}},
      {16, 16, 1, 2, {1, -2, 3, -4, 5}, {1, -2}},
      {8, 8, 1, 3, {-128, 5}, {-128, 5, 0}},
  };
  for (const auto& [from, to, channels, frames, in, out] : rows) {
    Samples s = in;
    EXPECT_EQ(ConvertWhole(Info(8000, from, channels, frames), Info(8000, to, channels, frames), s), 1);
    EXPECT_EQ(s, out) << from << "->" << to;
  }
}

// One frame through every row of the channel table (sums negative and not
// divisible, so that a floor instead of truncation toward zero shows), then
// several frames (widening must run backwards, narrowing forwards) and pairs
// without a rule: channels kept where there is one, else silent.
TEST(ChannelMap, EveryRowAndPairsWithoutARule) {
  const std::tuple<uint32_t, uint32_t, Samples, Samples> rows[] = {  // channels, frames
      {1, 2, {-7}, {-7, -7}}, {1, 4, {-7}, {-7, -7, -7, -7}},
      {1, 5, {9}, {9, 9, 9, 9, 9}}, {1, 6, {9}, {9, 9, 9, 9, 9, 9}},
      {2, 1, {-3, 0}, {-1}}, {2, 4, {100, 200}, {100, 200, 200, 100}},
      {2, 5, {-3, 0}, {-3, 0, 0, -3, -1}}, {2, 6, {-3, 0}, {-3, 0, 0, -3, -1, -1}},
      {4, 1, {-3, -2, 0, 0}, {-1}}, {4, 2, {-3, 5, 0, 2}, {-1, 3}},
      {4, 5, {-3, 0, 7, 8}, {-3, 0, 7, 8, -1}}, {4, 6, {-3, 0, 7, -9}, {-3, 0, 7, -9, -1, -1}},
      {5, 1, {-9, 0, 0, 0, 0}, {-1}}, {5, 2, {-4, 10, 0, 11, 0}, {-1, 7}},
      {5, 4, {-3, 4, 5, 6, 0}, {-1, 2, 5, 6}}, {5, 6, {-9, 1, 2, 0, 0}, {-9, 1, 2, 0, 0, -1}},
      {6, 1, {-11, 0, 0, 0, 0, 0}, {-1}}, {6, 2, {-5, 1, 0, 0, 0, 0}, {-1, 0}},
      {6, 4, {-3, 4, 5, -7, 0, 0}, {-1, 2, 2, -3}},
      {1, 2, {1, 2, 3}, {1, 1, 2, 2, 3, 3}}, {2, 4, {1, 2, 3, 4}, {1, 2, 2, 1, 3, 4, 4, 3}},
      {2, 1, {2, 4, 6, 8, 10, 12}, {3, 7, 11}},
      {3, 2, {1, 2, 3, 4, 5, 6}, {1, 2, 4, 5}}, {3, 1, {1, 2, 3}, {1}},
      {2, 3, {1, 2, 3, 4, 5, 6}, {1, 2, 0, 3, 4, 0, 5, 6, 0}}, {1, 3, {5, 6}, {5, 0, 0, 6, 0, 0}},
      {8, 2, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2}},
      {2, 8, {1, 2, 3, 4}, {1, 2, 0, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0, 0, 0, 0}},
      {7, 8, {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7, 0}},
  };
  for (const auto& [from, to, in, out] : rows) {
    Samples s = in;
    const uint32_t frames = static_cast<uint32_t>(s.size() / from);
    ASSERT_EQ(ConvertWhole(Info(44100, 16, from, frames), Info(44100, 16, to, frames), s), 1);
    EXPECT_EQ(s, out) << from << "->" << to;
  }
}

TEST(Refusals, ImpossibleDescriptionsAreNotSetUp) {
  const std::pair<AudioInfo, AudioInfo> cases[] = {
      {Info(44100, 8, 0, 2), Info(44100, 16, 2, 2)},    // no channels decoded
      {Info(44100, 8, 2, 2), Info(44100, 16, 0, 2)},    // none stored
      {Info(44100, 8, 2, 2), Info(44100, 16, 300, 2)},  // more than 256
      {Info(0, 8, 2, 2), Info(44100, 16, 2, 2)},        // no decoded rate
      {Info(44100, 8, 2, 2), Info(0, 16, 2, 2)},        // no stored rate
      {Info(44100, 16, 1, 4), Info(400, 16, 1, 4)},  // no converter for this ratio
  };
  int reads = 0;
  for (const auto& [decoded, stored] : cases) {
    EXPECT_EQ(BeginConversion(decoded, stored, 4, [&reads](int16_t*, int64_t) { return ++reads > 0; }), nullptr);
  }
  EXPECT_EQ(reads, 0);
}

// A reader that stops ends the conversion: no block follows.
TEST(Refusals, AReaderThatStopsEndsTheConversion) {
  for (uint32_t rate : {8000u, 16000u}) {
    int reads = 0;
    SampleConversionPtr c = BeginConversion(Info(8000, 16, 1, 0), Info(rate, 8, 2, 0), 100000,
                                            [&reads](int16_t* to, int64_t n) {
                                              std::fill(to, to + n, int16_t{7});
                                              return ++reads < 2;
                                            });
    ASSERT_NE(c, nullptr);
    const int16_t* block = nullptr;
    int64_t n = 0;
    while ((n = NextConverted(*c, block)) > 0) {
    }
    EXPECT_EQ(n, -1) << rate;
    EXPECT_EQ(NextConverted(*c, block), -1);
  }
}

// Descriptions as an untrusted pack may give them, against buffers of every
// nearby size: any result is allowed, but never an access out of bounds
// (sanitizer builds) and a success always leaves the stored sample count.
TEST(Refusals, SweepOfOddDescriptions) {
  const uint32_t channels[] = {0, 1, 2, 3, 6, 7, 257}, rates[] = {0, 1, 300, 8000, 44100, 4000000000u};
  const uint32_t bits[] = {0, 8, 15, 16, 32};
  std::mt19937 rng(5);
  auto pick = [&rng](const auto& set) { return set[rng() % std::size(set)]; };
  for (int round = 0; round < 150; ++round) {
    const AudioInfo decoded = Info(pick(rates), pick(bits), pick(channels), rng() % 40);
    const AudioInfo stored =
        Info(round % 2 == 0 ? decoded.samplerate : pick(rates), pick(bits), pick(channels), decoded.samples);
    const size_t needed = size_t{decoded.channels} * decoded.samples;
    Samples s(needed + rng() % 3 - (needed > 0 ? rng() % 2 : 0), 1000);
    const int result = ConvertWhole(decoded, stored, s);
    EXPECT_TRUE(result == 0 || s.size() == size_t{stored.channels} * stored.samples) << round;
  }
}

TEST(SampleFromFloat, TruncatesClipsAndMapsNaNToSilence) {
  const std::pair<float, int16_t> cases[] = {{40000.0f, 32767}, {-40000.0f, -32768}, {-32768.0f, -32768},
                                             {32767.9f, 32767}, {12.9f, 12},         {-1.7f, -1},
                                             {std::nanf(""), 0}, {INFINITY, 32767},  {-INFINITY, -32768}};
  for (const auto& [in, out] : cases) EXPECT_EQ(SampleFromFloat(in), out) << in;
}

// ---- Rate changes, measured against ideal sines ----

constexpr double kAmplitude = 20000.0;

double Ideal(double freq, double rate, size_t frame) {
  return kAmplitude * std::sin(2 * std::numbers::pi * freq * frame / rate);
}

// Signal to error ratio, in dB, of channel c (of ch) against the ideal sine
// over the frames [begin, end).
double Snr(const Samples& s, size_t ch, size_t c, double freq, double rate, size_t begin, size_t end) {
  double signal = 0, error = 0;
  for (size_t f = begin; f < end; ++f) {
    const double ideal = Ideal(freq, rate, f), d = s[f * ch + c] - ideal;
    signal += ideal * ideal;
    error += d * d;
  }
  return 10 * std::log10(signal / error);
}

// Converts `decodedFrames` of sines of `freqs` Hz (one per channel, 0:
// silence) from rate `in` to `out`; the buffer has room for the larger frame
// count, zero beyond the decoded frames.
Samples Resample(const std::vector<double>& freqs, uint32_t in, uint32_t out, size_t decodedFrames,
                 uint32_t storedFrames) {
  const uint32_t ch = static_cast<uint32_t>(freqs.size());
  Samples s(std::max<size_t>(decodedFrames, storedFrames) * ch, 0);
  for (size_t f = 0; f < decodedFrames; ++f) {
    for (size_t c = 0; c < ch; ++c) s[f * ch + c] = static_cast<int16_t>(std::lround(Ideal(freqs[c], in, f)));
  }
  EXPECT_EQ(ConvertWhole(Info(in, 16, ch, storedFrames), Info(out, 16, ch, storedFrames), s), 1);
  EXPECT_EQ(s.size(), storedFrames * ch);
  return s;
}

// One second in each layout: one channel, a stereo pair, and three channels
// converted one by one (a silent middle channel must stay silent). The SNR is
// against the ideal sine at the stored rate, so it also holds the pitch: a
// ratio 1 ppm off (0.001 Hz at 1 kHz) already fails it.
TEST(RateStep, KeepsPitchLengthAndPhase) {
  for (auto [in, out] : {std::pair{22050u, 44100u}, {44100u, 48000u}, {48000u, 44100u}, {44100u, 22050u}}) {
    for (const std::vector<double>& freqs : {std::vector<double>{1000}, {1000, 2500}, {1000, 0, 3000}}) {
      const Samples s = Resample(freqs, in, out, in, out);
      const size_t ch = freqs.size();
      for (size_t c = 0; c < ch; ++c) {
        if (freqs[c] == 0) {
          for (size_t f = 0; f < out; ++f) ASSERT_EQ(s[f * ch + c], 0) << "frame " << f;
          continue;
        }
        EXPECT_GE(Snr(s, ch, c, freqs[c], out, 1000, out - 1000), 80.0) << in << "->" << out << " " << c;
      }
    }
  }
}

TEST(RateStep, AboveTheNewNyquistIsRemoved) {
  const Samples s = Resample({15000}, 44100, 22050, 44100, 22050);
  double power = 0;
  for (size_t f = 1000; f < 22050 - 1000; ++f) power += double(s[f]) * s[f];
  const double rms = std::sqrt(power / (22050 - 2000));
  EXPECT_LE(20 * std::log10(std::max(rms, 1e-9) / (kAmplitude / std::sqrt(2.0))), -90.0);
}

// The stored length reaches past the decoded samples: the converter is fed
// zeros, so the stream ends in silence rather than in leftover values.
TEST(RateStep, RunsOnInSilenceAfterTheDecodedSamples) {
  const Samples s = Resample({1000}, 22050, 44100, 22050, 48000);
  EXPECT_GE(Snr(s, 1, 0, 1000, 44100, 1000, 43000), 80.0);
  for (size_t f = 44400; f < 48000; ++f) ASSERT_EQ(s[f], 0) << "frame " << f;
}

// A full-scale step overshoots; the overshoot is clipped, never wrapped.
TEST(RateStep, OvershootClipsInsteadOfWrapping) {
  Samples s(44100, 0);
  std::fill(s.begin() + 10000, s.end(), int16_t{32767});
  ASSERT_EQ(ConvertWhole(Info(44100, 16, 1, 44100), Info(48000, 16, 1, 44100), s), 1);
  EXPECT_EQ(*std::max_element(s.begin(), s.end()), 32767);
  EXPECT_GT(*std::min_element(s.begin(), s.end()), -8000);
}

// The rate step works on widened samples and narrows its result: settled
// parts of a square wave come back at the 8-bit scale.
TEST(RateStep, EightBitStreamsAtAnotherRate) {
  Samples s(8000, 0);
  for (size_t f = 0; f < 4000; ++f) s[f] = (f / 50) % 2 != 0 ? 60 : -60;
  ASSERT_EQ(ConvertWhole(Info(8000, 8, 1, 8000), Info(16000, 8, 1, 8000), s), 1);
  EXPECT_NEAR(s[2 * 125], -60, 1);
  EXPECT_NEAR(s[2 * 175], 60, 1);
}

}  // namespace
