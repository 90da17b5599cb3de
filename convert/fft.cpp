// SPDX-License-Identifier: GPL-2.0-or-later
// Sine tables and the radix-4 FFT.
#include "convert/fft.h"

#include "convert/double_pair.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace {

// 2*pi as the sine tables take it.
constexpr double kTwoPi = 6.283185307179597;

constexpr std::array<uint8_t, 256> MakeByteDigitReversal() {
  std::array<uint8_t, 256> r{};
  for (int v = 0; v < 256; ++v) {
    r[v] = static_cast<uint8_t>(((v & 3) << 6) | (((v >> 2) & 3) << 4) | (((v >> 4) & 3) << 2) |
                                (v >> 6));
  }
  return r;
}
constexpr std::array<uint8_t, 256> kByteDigitReversal = MakeByteDigitReversal();

// t with its `digits` base-4 digits in reverse order. REQUIRES digits <= 8.
inline uint32_t ReverseBase4(uint32_t t, int digits) {
  const uint32_t r = (uint32_t{kByteDigitReversal[t & 255]} << 8) |
                     kByteDigitReversal[(t >> 8) & 255];
  return r >> (16 - 2 * digits);
}

// Multiplies by i (inverse) or -i (forward), the rotation of the radix-4
// butterfly: -i (r, m) = (m, -r), i (r, m) = (-m, r).
template <bool kInverse>
inline DoublePair RotateQuarter(DoublePair v) {
  return SwapPair(v) * (kInverse ? DoublePair{-1.0, 1.0} : DoublePair{1.0, -1.0});
}

// One radix-4 butterfly over the points a, b, c, d, with b, c, d first
// multiplied by w^k, w^2k, w^3k. The forward transform uses
// w = exp(-2 pi i/m), the inverse its conjugate; `cosines` holds the three
// cosines and `sines` the three sines, already signed for the direction:
// (s, -s) forward and (-s, s) inverse, so x w = x cos + swap(x) sines.
template <bool kInverse>
inline void Butterfly4(double* a, double* b, double* c, double* d, const DoublePair cosines[3],
                       const DoublePair sines[3]) {
  const DoublePair pa = LoadPair(a);
  const DoublePair pb = LoadPair(b);
  const DoublePair pc = LoadPair(c);
  const DoublePair pd = LoadPair(d);
  const DoublePair wb = pb * cosines[0] + SwapPair(pb) * sines[0];
  const DoublePair wc = pc * cosines[1] + SwapPair(pc) * sines[1];
  const DoublePair wd = pd * cosines[2] + SwapPair(pd) * sines[2];
  const DoublePair t0 = pa + wc, t1 = pa - wc;
  const DoublePair t2 = wb + wd, t3 = RotateQuarter<kInverse>(wb - wd);
  StorePair(a, t0 + t2);
  StorePair(c, t0 - t2);
  StorePair(b, t1 + t3);
  StorePair(d, t1 - t3);
}

// Twiddle-free radix-4 butterfly: the 4-point DFT of consecutive points.
template <bool kInverse>
inline void Dft4(double* p) {
  const DoublePair pa = LoadPair(p), pb = LoadPair(p + 2), pc = LoadPair(p + 4),
                   pd = LoadPair(p + 6);
  const DoublePair t0 = pa + pc, t1 = pa - pc;
  const DoublePair t2 = pb + pd, t3 = RotateQuarter<kInverse>(pb - pd);
  StorePair(p, t0 + t2);
  StorePair(p + 4, t0 - t2);
  StorePair(p + 2, t1 + t3);
  StorePair(p + 6, t1 - t3);
}

// Puts the n = 4^digits points at x into base-4 digit-reversed order, in
// place. An index splits into a high part u, an optional middle digit and a
// low part whose reversal is v; its reversed index swaps u and v, so every
// pair is visited once as u < v, without a test per point.
void PutDigitReversed(double* x, int digits) {
  const int half = digits / 2;
  const size_t low = size_t{1} << (2 * half);    // values of the low part
  const size_t middles = digits % 2 != 0 ? 4 : 1;
  const size_t high = middles * low;              // weight of the high part
  std::array<uint32_t, 256> reversed;
  for (size_t t = 0; t < low; ++t) reversed[t] = ReverseBase4(static_cast<uint32_t>(t), half);
  for (size_t m = 0; m < middles; ++m) {
    double* base = x + 2 * m * low;
    for (size_t u = 0; u < low; ++u) {
      for (size_t v = u + 1; v < low; ++v) {
        double* a = base + 2 * (u * high + reversed[v]);
        double* b = base + 2 * (v * high + reversed[u]);
        const DoublePair t = LoadPair(a);
        StorePair(a, LoadPair(b));
        StorePair(b, t);
      }
    }
  }
}

template <bool kInverse>
void Transform(double* x, int e, const double* table, double* scratch) {
  const size_t n = size_t{1} << e;
  size_t m;
  if (e % 2 != 0) {
    // Each half in base-4 digit-reversed order, the halves interleaved point by
    // point, then radix-2 butterflies on consecutive pairs; done in one pass.
    const size_t half = n / 2;
    const int digits = (e - 1) / 2;
    std::copy(x, x + 2 * n, scratch);
    for (size_t t = 0; t < half; ++t) {
      const size_t r = ReverseBase4(static_cast<uint32_t>(t), digits);
      const DoublePair a = LoadPair(scratch + 2 * r);
      const DoublePair b = LoadPair(scratch + 2 * (half + r));
      StorePair(x + 4 * t, a + b);
      StorePair(x + 4 * t + 2, a - b);
    }
    m = 8;
  } else {
    PutDigitReversed(x, e / 2);
    for (size_t b = 0; b < 2 * n; b += 8) Dft4<kInverse>(x + b);
    m = 16;
  }
  // Combine the quarters of every block of m points, m growing by 4.
  for (; m <= n; m *= 4) {
    const size_t q = m / 4;
    const double* t = table + 2 * (n - m);  // sin(2 pi k/m); cos at k + m/4
    for (size_t b = 0; b < n; b += m) {
      double* p0 = x + 2 * b;
      double* p1 = p0 + 2 * q;
      double* p2 = p1 + 2 * q;
      double* p3 = p2 + 2 * q;
      for (size_t k = 0; k < q; ++k) {
        const DoublePair cosines[3] = {SplatPair(t[k + q]), SplatPair(t[2 * k + q]),
                                       SplatPair(t[3 * k + q])};
        const DoublePair sign = kInverse ? DoublePair{-1.0, 1.0} : DoublePair{1.0, -1.0};
        const DoublePair sines[3] = {SplatPair(t[k]) * sign, SplatPair(t[2 * k]) * sign,
                                     SplatPair(t[3 * k]) * sign};
        Butterfly4<kInverse>(p0 + 2 * k, p1 + 2 * k, p2 + 2 * k, p3 + 2 * k, cosines, sines);
      }
    }
  }
}

}  // namespace

void MakeSineTables(double* tables, size_t n) {
  for (size_t m = n; m >= 1; m /= 2) {
    double* t = tables + 2 * n - 2 * m;
    for (size_t k = 0; k < m; ++k) {
      t[k] = std::sin(kTwoPi * static_cast<double>(k) / static_cast<double>(m));
    }
  }
}

void FftForward(double* data, int e, const double* table, double* scratch) {
  Transform<false>(data, e, table, scratch);
}

void FftInverse(double* data, int e, const double* table, double* scratch) {
  Transform<true>(data, e, table, scratch);
}
