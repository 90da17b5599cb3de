// SPDX-License-Identifier: GPL-2.0-or-later
// The transforms against a direct DFT, and the Bessel series against the
// standard library's.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "convert/fft.h"
#include "convert/rate_filter_design.h"

namespace {

using Complex = std::complex<double>;

// X[k] = sum_j x[j] exp(sign 2 pi i jk/n), each twiddle from its exact angle.
Complex DirectDft(const std::vector<Complex>& x, int sign, size_t k) {
  const size_t n = x.size();
  Complex sum = 0;
  for (size_t j = 0; j < n; ++j) sum += x[j] * std::polar(1.0, sign * 2 * std::numbers::pi * double(j * k % n) / n);
  return sum;
}

// 8 ... 4096 points: odd orders (radix-2 first stage) and even ones; every
// bin up to 256 points, 256 bins of every residue beyond.
TEST(Fft, BothDirectionsMatchADirectDftForEveryOrder) {
  for (int e = 3; e <= 12; ++e) {
    const size_t n = size_t{1} << e;
    std::vector<double> tables(SineTablesSize(n));
    MakeSineTables(tables.data(), n);
    std::mt19937 rng(e);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<Complex> x(n);
    for (Complex& v : x) v = {dist(rng), dist(rng)};
    for (int sign : {-1, +1}) {
      std::vector<double> data(2 * n), scratch(2 * n);
      std::copy_n(reinterpret_cast<const double*>(x.data()), 2 * n, data.begin());
      (sign < 0 ? FftForward : FftInverse)(data.data(), e, tables.data(), scratch.data());
      double worst = 0;
      for (size_t i = 0; i < std::min<size_t>(n, 256); ++i) {
        const size_t k = i * 4099 % n;  // an odd step: all bins, or 256 spread over all residues
        worst = std::max(worst, std::abs(Complex(data[2 * k], data[2 * k + 1]) - DirectDft(x, sign, k)));
      }
      EXPECT_LT(worst, 1e-11) << "n=" << n << " sign=" << sign;
    }
  }
}

TEST(BesselI0, AgreesWithStandardLibrary) {
  for (double x : {0.0, 0.5, 1.0, 5.0, 10.0, 12.5, 30.0}) {
    const double expected = std::cyl_bessel_i(0.0, x);
    EXPECT_NEAR(BesselI0(x), expected, expected * 1e-14) << x;
  }
}

}  // namespace
