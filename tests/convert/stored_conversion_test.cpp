// The conversion to a stored description, on its real path: bit widths,
// channel maps, and rate changes measured against ideal sines.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "convert/stored_conversion.h"

namespace {

AudioInfo Info(uint32_t rate, uint32_t bits, uint32_t channels, uint32_t frames) {
  AudioInfo info;
  info.samplerate = rate;
  info.pcmbitwidth = bits;
  info.channels = channels;
  info.samples = frames;
  return info;
}

// Converts `in` (frames of `from` channels) to `to` channels at one rate.
std::vector<int16_t> Remap(std::vector<int16_t> in, uint32_t from, uint32_t to) {
  const uint32_t frames = static_cast<uint32_t>(in.size() / from);
  EXPECT_EQ(ConvertToStoredInfo(Info(44100, 16, from, frames), Info(44100, 16, to, frames), in), 1);
  return in;
}

TEST(BitWidth, EqualDescriptionsLeaveTheBufferAlone) {
  std::vector<int16_t> s = {1, -2, 3, -4, 5};
  const int16_t* before = s.data();
  EXPECT_EQ(ConvertToStoredInfo(Info(8000, 16, 1, 2), Info(8000, 16, 1, 9), s), 1);
  EXPECT_EQ(s.data(), before);
  EXPECT_EQ(s, (std::vector<int16_t>{1, -2, 3, -4, 5}));
}

TEST(BitWidth, EightBitsWidenByShifting) {
  std::vector<int16_t> s = {-128, -1, 0, 1, 127};
  EXPECT_EQ(ConvertToStoredInfo(Info(8000, 8, 1, 5), Info(8000, 16, 1, 5), s), 1);
  EXPECT_EQ(s, (std::vector<int16_t>{-32768, -256, 0, 256, 32512}));
}

TEST(BitWidth, NarrowingFloorsInTheCallersBuffer) {
  std::vector<int16_t> s = {-32768, -257, -1, 255, 256, 32767};
  const int16_t* before = s.data();
  EXPECT_EQ(ConvertToStoredInfo(Info(8000, 16, 2, 3), Info(8000, 8, 2, 3), s), 1);
  EXPECT_EQ(s.data(), before);
  EXPECT_EQ(s, (std::vector<int16_t>{-128, -2, -1, 0, 1, 127}));
}

struct MapRow {
  uint32_t from, to;
  std::vector<int16_t> in, out;
};

class ChannelTable : public ::testing::TestWithParam<MapRow> {};

// One frame through every row; sums are chosen negative and not divisible so
// that a floor instead of truncation toward zero shows.
TEST_P(ChannelTable, MapsOneFrame) {
  const MapRow& row = GetParam();
  EXPECT_EQ(Remap(row.in, row.from, row.to), row.out) << row.from << "->" << row.to;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChannelTable,
    ::testing::Values(
        MapRow{1, 2, {-7}, {-7, -7}}, MapRow{1, 4, {-7}, {-7, -7, -7, -7}},
        MapRow{1, 5, {9}, {9, 9, 9, 9, 9}}, MapRow{1, 6, {9}, {9, 9, 9, 9, 9, 9}},
        MapRow{2, 1, {-3, 0}, {-1}}, MapRow{2, 4, {100, 200}, {100, 200, 200, 100}},
        MapRow{2, 5, {-3, 0}, {-3, 0, 0, -3, -1}}, MapRow{2, 6, {-3, 0}, {-3, 0, 0, -3, -1, -1}},
        MapRow{4, 1, {-3, -2, 0, 0}, {-1}}, MapRow{4, 2, {-3, 5, 0, 2}, {-1, 3}},
        MapRow{4, 5, {-3, 0, 7, 8}, {-3, 0, 7, 8, -1}},
        MapRow{4, 6, {-3, 0, 7, -9}, {-3, 0, 7, -9, -1, -1}},
        MapRow{5, 1, {-9, 0, 0, 0, 0}, {-1}}, MapRow{5, 2, {-4, 10, 0, 11, 0}, {-1, 7}},
        MapRow{5, 4, {-3, 4, 5, 6, 0}, {-1, 2, 5, 6}},
        MapRow{5, 6, {-9, 1, 2, 0, 0}, {-9, 1, 2, 0, 0, -1}},
        MapRow{6, 1, {-11, 0, 0, 0, 0, 0}, {-1}},
        MapRow{6, 2, {-5, 1, 0, 0, 0, 0}, {-1, 0}},
        MapRow{6, 4, {-3, 4, 5, -7, 0, 0}, {-1, 2, 2, -3}},
        // Several frames: widening must run backwards, narrowing forwards.
        MapRow{1, 2, {1, 2, 3}, {1, 1, 2, 2, 3, 3}},
        MapRow{2, 4, {1, 2, 3, 4}, {1, 2, 2, 1, 3, 4, 4, 3}},
        MapRow{2, 1, {2, 4, 6, 8, 10, 12}, {3, 7, 11}},
        // Pairs without a rule: channels kept where there is one, else silent.
        MapRow{3, 2, {1, 2, 3, 4, 5, 6}, {1, 2, 4, 5}}, MapRow{3, 1, {1, 2, 3}, {1}},
        MapRow{2, 3, {1, 2, 3, 4, 5, 6}, {1, 2, 0, 3, 4, 0, 5, 6, 0}},
        MapRow{1, 3, {5, 6}, {5, 0, 0, 6, 0, 0}},
        MapRow{8, 2, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2}},
        MapRow{2, 8, {1, 2, 3, 4}, {1, 2, 0, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0, 0, 0, 0}},
        MapRow{7, 8, {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7, 0}}),
    [](const auto& info) {
      return std::to_string(info.param.from) + "to" + std::to_string(info.param.to) + "_" +
             std::to_string(info.index);
    });

TEST(Refusals, ImpossibleDescriptionsTouchNothing) {
  const std::vector<int16_t> original = {100, -100, 200, -200};
  struct Case {
    AudioInfo decoded, stored;
  } cases[] = {
      {Info(44100, 8, 0, 2), Info(44100, 16, 2, 2)},       // no channels decoded
      {Info(44100, 8, 2, 2), Info(44100, 16, 0, 2)},       // none stored
      {Info(44100, 8, 2, 2), Info(44100, 16, 300, 2)},     // more than 256
      {Info(0, 8, 2, 2), Info(44100, 16, 2, 2)},           // no decoded rate
      {Info(44100, 8, 2, 2), Info(0, 16, 2, 2)},           // no stored rate
      {Info(44100, 8, 2, 3), Info(44100, 16, 1, 3)},       // buffer shorter than 3 frames
      {Info(44100, 8, 1, 0xFFFFFFFF), Info(48000, 16, 256, 0xFFFFFFFF)},
  };
  for (const Case& c : cases) {
    std::vector<int16_t> s = original;
    const int16_t* before = s.data();
    EXPECT_EQ(ConvertToStoredInfo(c.decoded, c.stored, s), 0);
    EXPECT_EQ(s.data(), before);
    EXPECT_EQ(s, original);
  }
}

// Descriptions as an untrusted pack may give them, against buffers of every
// nearby size: any result is allowed, but never an access out of bounds
// (sanitizer builds) and a success always leaves the stored sample count.
TEST(Refusals, SweepOfOddDescriptions) {
  const uint32_t channels[] = {0, 1, 2, 3, 6, 7, 257};
  const uint32_t rates[] = {0, 1, 300, 8000, 44100, 4000000000u};
  const uint32_t bits[] = {0, 8, 15, 16, 32};
  std::mt19937 rng(5);
  auto pick = [&rng](const auto& set) { return set[rng() % std::size(set)]; };
  for (int round = 0; round < 150; ++round) {
    const AudioInfo decoded = Info(pick(rates), pick(bits), pick(channels), rng() % 40);
    const AudioInfo stored = Info(round % 2 == 0 ? decoded.samplerate : pick(rates), pick(bits),
                                  pick(channels), decoded.samples);
    const size_t needed = size_t{decoded.channels} * decoded.samples;
    std::vector<int16_t> s(needed + rng() % 3 - (needed > 0 ? rng() % 2 : 0), 1000);
    const bool shortBuffer = s.size() < needed;
    const bool same = decoded.pcmbitwidth == stored.pcmbitwidth &&
                      decoded.channels == stored.channels &&
                      decoded.samplerate == stored.samplerate;
    const int result = ConvertToStoredInfo(decoded, stored, s);
    if (!same && result == 1) {
      EXPECT_EQ(s.size(), size_t{stored.channels} * stored.samples);
    }
    if (!same && shortBuffer) {
      EXPECT_EQ(result, 0);
    }
  }
}

TEST(Refusals, ConverterThatCannotBeSetUpKeepsTheBuffer) {
  std::vector<int16_t> s(1000, 5);
  const int16_t* before = s.data();
  EXPECT_EQ(ConvertToStoredInfo(Info(44100, 16, 1, 1000), Info(400, 16, 1, 1000), s), 0);
  EXPECT_EQ(s.data(), before);
  EXPECT_EQ(s, std::vector<int16_t>(1000, 5));
}

TEST(SampleFromFloat, TruncatesClipsAndMapsNaNToSilence) {
  EXPECT_EQ(SampleFromFloat(40000.0f), 32767);
  EXPECT_EQ(SampleFromFloat(-40000.0f), -32768);
  EXPECT_EQ(SampleFromFloat(-32768.0f), -32768);
  EXPECT_EQ(SampleFromFloat(32767.9f), 32767);
  EXPECT_EQ(SampleFromFloat(12.9f), 12);
  EXPECT_EQ(SampleFromFloat(-1.7f), -1);
  EXPECT_EQ(SampleFromFloat(std::nanf("")), 0);
  EXPECT_EQ(SampleFromFloat(INFINITY), 32767);
  EXPECT_EQ(SampleFromFloat(-INFINITY), -32768);
}

// ---- Rate changes, measured against ideal sines ----

constexpr double kAmplitude = 20000.0;

// Interleaved frames; channel c holds a sine of freqs[c] Hz (0: silence).
std::vector<int16_t> Sines(const std::vector<double>& freqs, double rate, size_t frames) {
  std::vector<int16_t> s(frames * freqs.size());
  for (size_t f = 0; f < frames; ++f) {
    for (size_t c = 0; c < freqs.size(); ++c) {
      s[f * freqs.size() + c] = static_cast<int16_t>(
          std::lround(kAmplitude * std::sin(2 * std::numbers::pi * freqs[c] * f / rate)));
    }
  }
  return s;
}

// Signal to error ratio, in dB, of channel c against the ideal sine over the
// frames [begin, end).
double Snr(const std::vector<int16_t>& s, size_t channels, size_t c, double freq, double rate,
           size_t begin, size_t end) {
  double signal = 0, error = 0;
  for (size_t f = begin; f < end; ++f) {
    const double ideal = kAmplitude * std::sin(2 * std::numbers::pi * freq * f / rate);
    const double d = s[f * channels + c] - ideal;
    signal += ideal * ideal;
    error += d * d;
  }
  return 10 * std::log10(signal / error);
}

// Frequency from the first and last upward zero crossings (interpolated).
double Frequency(const std::vector<int16_t>& s, size_t channels, size_t c, double rate,
                 size_t begin, size_t end) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t f = begin; f + 1 < end; ++f) {
    const double a = s[f * channels + c], b = s[(f + 1) * channels + c];
    if (a < 0 && b >= 0) {
      const double t = f + a / (a - b);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  return (crossings - 1) / (last - first) * rate;
}

// Converts one second of `freqs` from rate `in` to `out`; the buffer has room
// for the larger frame count, zero beyond the decoded frames.
std::vector<int16_t> Resample(const std::vector<double>& freqs, uint32_t in, uint32_t out,
                              size_t decodedFrames, uint32_t storedFrames) {
  const size_t ch = freqs.size();
  std::vector<int16_t> s = Sines(freqs, in, decodedFrames);
  s.resize(std::max<size_t>(decodedFrames, storedFrames) * ch, 0);
  const uint32_t channels = static_cast<uint32_t>(ch);
  EXPECT_EQ(ConvertToStoredInfo(Info(in, 16, channels, storedFrames),
                                Info(out, 16, channels, storedFrames), s),
            1);
  EXPECT_EQ(s.size(), storedFrames * ch);
  return s;
}

struct RatePair {
  uint32_t in, out;
};

class RateChange : public ::testing::TestWithParam<RatePair> {};

// Channel layouts: one channel, a stereo pair, and three channels converted one
// by one (a silent middle channel must stay silent).
TEST_P(RateChange, KeepsPitchLengthAndPhase) {
  const RatePair r = GetParam();
  for (const std::vector<double>& freqs :
       {std::vector<double>{1000}, std::vector<double>{1000, 2500},
        std::vector<double>{1000, 0, 3000}}) {
    const std::vector<int16_t> s = Resample(freqs, r.in, r.out, r.in, r.out);
    const size_t ch = freqs.size();
    for (size_t c = 0; c < ch; ++c) {
      if (freqs[c] == 0) {
        for (size_t f = 0; f < r.out; ++f) ASSERT_EQ(s[f * ch + c], 0) << "frame " << f;
        continue;
      }
      EXPECT_NEAR(Frequency(s, ch, c, r.out, 1000, r.out - 1000), freqs[c], 0.5);
      EXPECT_GE(Snr(s, ch, c, freqs[c], r.out, 1000, r.out - 1000), 80.0)
          << r.in << "->" << r.out << " channel " << c << " of " << ch;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, RateChange,
                         ::testing::Values(RatePair{22050, 44100}, RatePair{44100, 48000},
                                           RatePair{48000, 44100}, RatePair{44100, 22050}),
                         [](const auto& info) {
                           return std::to_string(info.param.in) + "to" +
                                  std::to_string(info.param.out);
                         });

TEST(RateStep, AboveTheNewNyquistIsRemoved) {
  const std::vector<int16_t> s = Resample({15000}, 44100, 22050, 44100, 22050);
  double power = 0;
  for (size_t f = 1000; f < 22050 - 1000; ++f) power += double(s[f]) * s[f];
  const double rms = std::sqrt(power / (22050 - 2000));
  EXPECT_LE(20 * std::log10(std::max(rms, 1e-9) / (kAmplitude / std::sqrt(2.0))), -90.0);
}

// The stored length reaches past the decoded samples: the converter is fed
// zeros, so the stream ends in silence rather than in leftover values.
TEST(RateStep, RunsOnInSilenceAfterTheDecodedSamples) {
  const std::vector<int16_t> s = Resample({1000}, 22050, 44100, 22050, 48000);
  EXPECT_GE(Snr(s, 1, 0, 1000, 44100, 1000, 43000), 80.0);
  for (size_t f = 44400; f < 48000; ++f) ASSERT_EQ(s[f], 0) << "frame " << f;
}

// A full-scale step overshoots; the overshoot is clipped, never wrapped.
TEST(RateStep, OvershootClipsInsteadOfWrapping) {
  std::vector<int16_t> s(44100, 0);
  std::fill(s.begin() + 10000, s.end(), int16_t{32767});
  ASSERT_EQ(ConvertToStoredInfo(Info(44100, 16, 1, 44100), Info(48000, 16, 1, 44100), s), 1);
  EXPECT_EQ(*std::max_element(s.begin(), s.end()), 32767);
  EXPECT_GT(*std::min_element(s.begin(), s.end()), -8000);
}

// The rate step works on widened samples and narrows its result.
TEST(RateStep, EightBitStreamsAtAnotherRate) {
  std::vector<int16_t> s(8000, 0);
  for (size_t f = 0; f < 4000; ++f) s[f] = (f / 50) % 2 != 0 ? 60 : -60;
  ASSERT_EQ(ConvertToStoredInfo(Info(8000, 8, 1, 8000), Info(16000, 8, 1, 8000), s), 1);
  // Settled parts of the square wave come back at the 8-bit scale.
  EXPECT_NEAR(s[2 * 125], -60, 1);
  EXPECT_NEAR(s[2 * 175], 60, 1);
}

}  // namespace
