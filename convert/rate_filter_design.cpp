// SPDX-License-Identifier: GPL-2.0-or-later
// The rate converter's Kaiser-windowed filter designs.
#include "convert/rate_filter_design.h"

#include <algorithm>
#include <cmath>
#include <numbers>

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
    const double tap =
        std::sin(pk * cutoff) / pk * BesselI0(alpha * std::sqrt(1.0 - r * r)) / window0;
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
