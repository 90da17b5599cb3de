// Sine tables, radix-4 FFT and the Kaiser-windowed filter designs.
#include "convert/fft.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <utility>

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

// One radix-4 butterfly over the points a, b, c, d (each a complex pair),
// with b, c, d first multiplied by w^k, w^2k, w^3k given as cosine and sine.
// The forward transform uses w = exp(-2 pi i/m), the inverse its conjugate.
template <bool kInverse>
inline void Butterfly4(double* a, double* b, double* c, double* d, double c1, double s1,
                       double c2, double s2, double c3, double s3) {
  double br, bi, cr, ci, dr, di;
  if constexpr (kInverse) {
    br = b[0] * c1 - b[1] * s1;
    bi = b[1] * c1 + b[0] * s1;
    cr = c[0] * c2 - c[1] * s2;
    ci = c[1] * c2 + c[0] * s2;
    dr = d[0] * c3 - d[1] * s3;
    di = d[1] * c3 + d[0] * s3;
  } else {
    br = b[0] * c1 + b[1] * s1;
    bi = b[1] * c1 - b[0] * s1;
    cr = c[0] * c2 + c[1] * s2;
    ci = c[1] * c2 - c[0] * s2;
    dr = d[0] * c3 + d[1] * s3;
    di = d[1] * c3 - d[0] * s3;
  }
  const double t0r = a[0] + cr, t0i = a[1] + ci;
  const double t1r = a[0] - cr, t1i = a[1] - ci;
  const double t2r = br + dr, t2i = bi + di;
  const double t3r = br - dr, t3i = bi - di;
  a[0] = t0r + t2r;
  a[1] = t0i + t2i;
  c[0] = t0r - t2r;
  c[1] = t0i - t2i;
  if constexpr (kInverse) {  // t1 + i t3 and t1 - i t3
    b[0] = t1r - t3i;
    b[1] = t1i + t3r;
    d[0] = t1r + t3i;
    d[1] = t1i - t3r;
  } else {  // t1 - i t3 and t1 + i t3
    b[0] = t1r + t3i;
    b[1] = t1i - t3r;
    d[0] = t1r - t3i;
    d[1] = t1i + t3r;
  }
}

// Twiddle-free radix-4 butterfly: the 4-point DFT of consecutive points.
template <bool kInverse>
inline void Dft4(double* p) {
  Butterfly4<kInverse>(p, p + 2, p + 4, p + 6, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0);
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
      const double* a = scratch + 2 * r;
      const double* b = scratch + 2 * (half + r);
      double* out = x + 4 * t;
      out[0] = a[0] + b[0];
      out[1] = a[1] + b[1];
      out[2] = a[0] - b[0];
      out[3] = a[1] - b[1];
    }
    m = 8;
  } else {
    const int digits = e / 2;
    for (size_t p = 0; p < n; ++p) {
      const size_t r = ReverseBase4(static_cast<uint32_t>(p), digits);
      if (r > p) {
        std::swap(x[2 * p], x[2 * r]);
        std::swap(x[2 * p + 1], x[2 * r + 1]);
      }
    }
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
        Butterfly4<kInverse>(p0 + 2 * k, p1 + 2 * k, p2 + 2 * k, p3 + 2 * k, t[k + q], t[k],
                             t[2 * k + q], t[2 * k], t[3 * k + q], t[3 * k]);
      }
    }
  }
}

}  // namespace

void MakeSineTables(double* tables, size_t n) {
  for (size_t m = n; m >= 1; m /= 2) {
    double* t = tables + 2 * n - 2 * m;
    for (size_t k = 0; k < m; ++k) t[k] = std::sin(kTwoPi * static_cast<double>(k) / static_cast<double>(m));
  }
}

double BesselI0(double x) {
  const double y = x / 2;
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1;; ++k) {
    term = term / k * y;
    const double square = term * term;
    sum += square;
    if (square <= sum * 1e-17) return sum;
  }
}

void DesignKaiserLowpass(double cutoff, double alpha, size_t n, int h, double* buffer) {
  std::fill(buffer, buffer + 2 * n, 0.0);
  buffer[0] = cutoff;
  const double window0 = BesselI0(alpha);
  const double width = h + 0.5;
  for (int k = 1; k <= h; ++k) {
    const double r = k / width;
    const double pk = std::numbers::pi * k;
    const double tap = std::sin(pk * cutoff) / pk * BesselI0(alpha * std::sqrt(1.0 - r * r)) / window0;
    buffer[2 * k] = tap;
    buffer[2 * (n - k)] = tap;
  }
}

void DesignInterpTable(double* table) {
  const double window0 = BesselI0(12.5);
  table[0] = 0.97;
  for (int k = 1; k < 1024; ++k) {
    const double r = k / 1023.5;
    const double pk = std::numbers::pi * k;
    table[k] = std::sin(pk * 0.97 / kInterpPhases) / (pk / kInterpPhases) *
               BesselI0(12.5 * std::sqrt(1.0 - r * r)) / window0;
  }
  std::fill(table + 1024, table + kInterpTableSize, 0.0);
}

void FftForward(double* data, int e, const double* table, double* scratch) {
  Transform<false>(data, e, table, scratch);
}

void FftInverse(double* data, int e, const double* table, double* scratch) {
  Transform<true>(data, e, table, scratch);
}
