// SPDX-License-Identifier: GPL-2.0-or-later
// Benchmark helper for the rate conversion.
//
//   bench_convert convert <in.raw> <out.raw> <in-rate> <out-rate> <channels>
//     Reads signed 16-bit little-endian interleaved samples, converts them to
//     the other rate through the block conversion (BeginConversion,
//     NextConverted) and writes the result, a block at a time; prints the
//     wall-clock and CPU seconds of the conversion with its reads and writes.
//   bench_convert snr <file.raw> <rate> <channels> <frequency>
//     Fits a sine of the given frequency (amplitude, phase and offset free) to
//     every channel, leaving out the first and last 1000 frames, and prints
//     the lowest signal-to-residual ratio in dB.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

#include "convert/convert.h"

namespace {

[[maybe_unused]] int16_t SwapBytes(int16_t v) {
  const auto u = static_cast<uint16_t>(v);
  return static_cast<int16_t>(static_cast<uint16_t>((u >> 8) | (u << 8)));
}

// Reads a raw file of signed 16-bit little-endian samples into `out`.
bool ReadRaw(const char* path, std::vector<int16_t>& out) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::fseek(f, 0, SEEK_END);
  const long bytes = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  const size_t count = bytes > 0 ? static_cast<size_t>(bytes) / 2 : 0;
  out.clear();
  out.reserve(count);
  std::vector<int16_t> chunk(1 << 16);
  size_t got;
  while ((got = std::fread(chunk.data(), 2, chunk.size(), f)) > 0) {
    if constexpr (std::endian::native == std::endian::big) {
      for (size_t i = 0; i < got; ++i) chunk[i] = SwapBytes(chunk[i]);
    }
    out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(got));
  }
  std::fclose(f);
  return out.size() == count;
}

// Reads the raw file a block at a time as the conversion asks, as
// restoration reads a stream (its samples, then zeros), and writes each
// converted block as it comes: memory stays a few blocks, like sox's.
int Convert(char** argv) {
  const uint32_t inRate = static_cast<uint32_t>(std::atol(argv[4]));
  const uint32_t outRate = static_cast<uint32_t>(std::atol(argv[5]));
  const uint32_t channels = static_cast<uint32_t>(std::atol(argv[6]));
  std::FILE* in = std::fopen(argv[2], "rb");
  if (in == nullptr || inRate == 0 || channels == 0) return 2;
  std::fseek(in, 0, SEEK_END);
  const uint64_t inFrames = static_cast<uint64_t>(std::ftell(in)) / 2 / channels;
  std::fseek(in, 0, SEEK_SET);
  const uint64_t outFrames = inFrames * outRate / inRate;
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) return 2;
  AudioInfo decoded;
  decoded.samplerate = inRate;
  decoded.pcmbitwidth = 16;
  decoded.channels = channels;
  AudioInfo stored = decoded;
  stored.samplerate = outRate;
  auto read = [in](int16_t* to, int64_t n) {
    const size_t got = std::fread(to, 2, static_cast<size_t>(n), in);
    if constexpr (std::endian::native == std::endian::big) {
      for (size_t i = 0; i < got; ++i) to[i] = SwapBytes(to[i]);
    }
    std::fill(to + got, to + n, int16_t{0});
    return true;
  };
  std::vector<int16_t> swapped;
  bool written = true;
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  SampleConversionPtr conversion = BeginConversion(decoded, stored, outFrames, read);
  if (!conversion) return 1;
  const int16_t* block = nullptr;
  for (int64_t n; (n = NextConverted(*conversion, block)) > 0;) {
    if constexpr (std::endian::native == std::endian::big) {
      swapped.assign(block, block + n);
      for (int16_t& v : swapped) v = SwapBytes(v);
      block = swapped.data();
    }
    written = written && std::fwrite(block, 2, static_cast<size_t>(n), out) == static_cast<size_t>(n);
  }
  const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  std::printf("%.2f %.2f\n", spent.count(), cpu);
  std::fclose(in);
  return std::fclose(out) == 0 && written ? 0 : 2;
}

// Least-squares fit of a + b sin(wt) + c cos(wt), by the normal equations.
double ChannelSnr(const std::vector<int16_t>& s, size_t channels, size_t ch, double w,
                  size_t begin, size_t end) {
  double m[3][4] = {};
  for (size_t f = begin; f < end; ++f) {
    const double basis[3] = {1.0, std::sin(w * f), std::cos(w * f)};
    const double y = s[f * channels + ch];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
      m[i][3] += basis[i] * y;
    }
  }
  for (int i = 0; i < 3; ++i) {  // Gauss-Jordan; the matrix is well conditioned
    for (int r = 0; r < 3; ++r) {
      if (r == i) continue;
      const double k = m[r][i] / m[i][i];
      for (int j = 0; j < 4; ++j) m[r][j] -= k * m[i][j];
    }
  }
  const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], c = m[2][3] / m[2][2];
  double signal = 0, residual = 0;
  for (size_t f = begin; f < end; ++f) {
    const double fit = b * std::sin(w * f) + c * std::cos(w * f);
    const double d = s[f * channels + ch] - a - fit;
    signal += fit * fit;
    residual += d * d;
  }
  return 10 * std::log10(signal / residual);
}

int Snr(char** argv) {
  std::vector<int16_t> samples;
  if (!ReadRaw(argv[2], samples)) return 2;
  const double rate = std::atof(argv[3]);
  const size_t channels = static_cast<size_t>(std::atol(argv[4]));
  const double w = 2 * std::numbers::pi * std::atof(argv[5]) / rate;
  const size_t frames = samples.size() / channels;
  if (frames < 3000) return 2;
  double worst = INFINITY;
  for (size_t c = 0; c < channels; ++c) {
    worst = std::min(worst, ChannelSnr(samples, channels, c, w, 1000, frames - 1000));
  }
  std::printf("%.1f\n", worst);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "convert" && argc == 7) return Convert(argv);
  if (mode == "snr" && argc == 6) return Snr(argv);
  std::fprintf(stderr,
               "usage: bench_convert convert <in.raw> <out.raw> <in-rate> <out-rate> <channels>\n"
               "       bench_convert snr <file.raw> <rate> <channels> <frequency>\n");
  return 2;
}
