// Transforms and filter design for the rate converter.
//
// Complex values are pairs of doubles, real part first. Every function works
// on caller-owned memory and allocates nothing, so the converter can keep all
// of its tables in one block.
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

// In-place unscaled DFT of n = 2^e complex values at `data`:
// X[k] = sum_j x[j] exp(-2 pi i jk/n) (forward), exp(+2 pi i jk/n) (inverse).
// Radix-4 decimation in time with natural-order output.
// `table` is the sine table for n (MakeSineTables(.., n) or the one for n
// inside a larger set). `scratch` holds n complex values and is used only when
// e is odd (it may be null when e is even); it must not overlap `data`.
// REQUIRES: 3 <= e <= kMaxFftOrder.
void FftForward(double* data, int e, const double* table, double* scratch);
void FftInverse(double* data, int e, const double* table, double* scratch);
