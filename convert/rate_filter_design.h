// SPDX-License-Identifier: GPL-2.0-or-later
// The rate converter's filter designs: filter 1, a Kaiser-windowed sinc
// lowpass laid out for fast convolution, and the interpolator's kernel.
//
// Complex values are pairs of doubles, real part first. Every function works
// on caller-owned memory and allocates nothing.
#pragma once

#include <cstddef>

// The modified Bessel function of the first kind, order 0, by its power
// series, summed until a term's square falls below 1e-17 of the sum.
// REQUIRES: x finite and |x| < 700 (larger values overflow a double).
double BesselI0(double x);

// Fills `buffer` (n complex values) with a real, even lowpass impulse response
// centred on point 0 (circularly): 2h + 1 Kaiser-windowed sinc taps with the
// given cutoff (fraction of the Nyquist frequency, 1.0 = whole band) and Kaiser
// parameter `alpha`; every other value is 0.
// REQUIRES: 0 <= h < n/2; alpha finite, 0 <= alpha < 700.
void DesignKaiserLowpass(double cutoff, double alpha, size_t n, int h, double* buffer);

// Number of doubles in the interpolation kernel table.
inline constexpr int kInterpPhases = 128;
inline constexpr int kInterpTableSize = 1152;

// Fills `table` (kInterpTableSize doubles): value k is the kernel at k/128 of
// a sample from its centre, a Kaiser-windowed sinc (cutoff 0.97, parameter
// 12.5) reaching 8 samples either side; values 1024 and above are 0.
void DesignInterpTable(double* table);
