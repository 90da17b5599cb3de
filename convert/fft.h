// SPDX-License-Identifier: GPL-2.0-or-later
// Sine tables and the FFT, for the rate converter and the TwinVQ codec.
//
// Complex values are pairs of doubles, real part first. Every function works
// on caller-owned memory and allocates nothing, so a caller can keep all of
// its tables in one block.
#pragma once

#include <cstddef>

// Largest FFT length the converter uses: 4^8 points. Digit reversal is done
// by table for at most 8 base-4 digits.
inline constexpr int kMaxFftOrder = 16;

// Number of doubles MakeSineTables fills for a transform of n points: 2n - 1
// (one table each for n, n/2, ..., 1).
constexpr size_t SineTablesSize(size_t n) { return 2 * n - 1; }

// Fills `tables` with sin(2*pi*k/m), k = 0 ... m-1, for m = n, n/2, ..., 1 in
// turn, so the table for m starts at value 2n - 2m.
// REQUIRES: n is a power of two; `tables` holds SineTablesSize(n) doubles.
void MakeSineTables(double* tables, size_t n);

// In-place unscaled DFT of n = 2^e complex values at `data`:
// X[k] = sum_j x[j] exp(-2 pi i jk/n) (forward), exp(+2 pi i jk/n) (inverse).
// Radix-4 decimation in time with natural-order output.
// `table` is the sine table for n (MakeSineTables(.., n) or the one for n
// inside a larger set). `scratch` holds n complex values and is used only when
// e is odd (it may be null when e is even); it must not overlap `data`.
// REQUIRES: 3 <= e <= kMaxFftOrder.
void FftForward(double* data, int e, const double* table, double* scratch);
void FftInverse(double* data, int e, const double* table, double* scratch);
