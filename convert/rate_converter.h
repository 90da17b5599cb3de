// SPDX-License-Identifier: GPL-2.0-or-later
// Block rate converter for one channel or two interleaved channels of signed
// 16-bit samples.
//
// Filter 1, a zero-phase Kaiser-windowed lowpass applied by fast convolution,
// band-limits each block (and upsamples it by 2 when the output band allows);
// a 16-tap, 128-phase windowed-sinc interpolator then reads the filtered block
// at the output instants. Output instant j lies at input time j / ratio, with
// instant 0 on the first input value.
#pragma once

#include <cstdint>
#include <memory>

// Debug switch shared by every converter: RateConvInit sets it; any non-zero
// value makes RateConvInit, RateConv and RateConvFree print their settings and
// counts on standard output.
extern int debugLevel;

// One converter, created by RateConvInit and ended by RateConvFree. Let N be
// the FFT length (2^fftOrder, a power of 4), M = N/2, N' = blockLen points
// filled per block, L' = newLen points of new input per block and
// H = N' - L' points carried over between blocks.
struct RateConvState {
  int numChannel = 1;  // 1: one-channel layout; anything else: two channels
  long sampleIn = 0;   // input values consumed so far
  long sampleOut = 0;  // output values produced so far
  // One block of 4N + M + 1153 doubles: the sine tables (2N - 1 used), then
  // fftBuf (N complex values), response (M + 1) and interpTable (1152).
  // A converter of RateConvShare holds only its fftBuf here and reads the
  // tables of its model.
  std::unique_ptr<double[]> work;
  const double* sines = nullptr;  // the sine tables (in work, or the model's)
  double* fftBuf = nullptr;
  const double* response = nullptr;     // real response of filter 1, bins 0 ... M
  const double* interpTable = nullptr;  // interpolation kernel, 128 phases per sample
  std::unique_ptr<double[]> history;  // H complex values
  int blockLen = 0;   // N'
  int newLen = 0;     // L'
  int offset = 0;     // h + 9: filtered point of output instant 0
  int direct = 0;     // 1: filter 1 at the input rate; 0: it also upsamples by 2
  int fftOrder = 0;   // e, N = 2^e
  double position = 0.0;  // next output instant, in filtered points
  // The block being handed out by RateConvEmit: 0 its first sequence (the
  // real parts), 1 the second (the imaginary parts, one-channel layout), 2
  // done; and the next instant in it.
  int emitPhase = 2;
  double emitPosition = 0.0;
  double step = 0.0;      // advance per output instant, in filtered points
  long outSize = 0;       // capacity of outBuf, in floats
  std::unique_ptr<float[]> outBuf;
  // Settled at set-up and printed with the settings: the cutoff of filter 1
  // (fraction of the Nyquist frequency of the grid it runs on, times 2) and
  // the measured transition width df.
  float cutoff = 0.0f;
  double transition = 0.0;
};

// Sets a converter up for `ratio` = output rate / input rate (a negative value
// stands for 1.0). htaps1 < 0 selects 485 taps for filter 1, a1 < 0 the Kaiser
// parameter 10.0; fc (passband edge) and fd (stopband edge), as fractions of
// the input Nyquist frequency, are derived from the ratio when negative.
// `debug` sets debugLevel. On success stores in inSize the number of input
// values that every RateConv call consumes and returns the converter.
// Returns null when the cutoff comes out as zero or less (a ratio of 0; with a
// derived cutoff, 2 * ratio <= the measured transition width, about 0.027 with
// the defaults, which very short filters make wide), when ratio is NaN or
// infinite or a1, fc or fd NaN, when a1 exceeds 100, when the taps leave no
// room for new input in a block (htaps1 from 0 to 5, 16 or 17) or exceed
// 16385, when one call's output would exceed 2^24 floats (with the default
// taps, a ratio above about 4600), or when memory runs out.
[[nodiscard]] std::unique_ptr<RateConvState> RateConvInit(int debug, double ratio, int numChannel,
                                                          int htaps1, float a1, float fc, float fd,
                                                          long& inSize);

// Converts one block: reads exactly inSize values from `input` (interleaved
// pairs in the two-channel layout), points `output` at the converter's outBuf,
// which holds this call's output values (32-bit floats on the 16-bit scale,
// not clipped) until the next call, and returns their number.
// `numSampleIn` is only printed. REQUIRES: `input` holds inSize values.
[[nodiscard]] int RateConv(RateConvState& state, const int16_t* input, long numSampleIn,
                           const float*& output);

// The two halves of RateConv, for a caller that takes a block's output in
// pieces (at ratios far above 1 one block gives hundreds of thousands of
// values). RateConvFeed reads exactly inSize values from `input` and
// filters them as RateConv does; RateConvEmit then writes the block's output
// values in order to `out`, at most `capacity` at a time, and returns how
// many, 0 once the block is exhausted (then feed the next). The values are
// exactly those RateConv returns for the block. REQUIRES: the previous block
// exhausted before a feed; capacity >= 2.
void RateConvFeed(RateConvState& state, const int16_t* input);
[[nodiscard]] int RateConvEmit(RateConvState& state, float* out, long capacity);

// A converter with the settings of `model` and a history of its own, which
// reads the model's tables (sine tables, filter response, interpolation
// kernel) instead of holding copies: channels converted one by one cost one
// block of N complex values each. It has no outBuf: use RateConvFeed and
// RateConvEmit. Returns null when memory runs out. REQUIRES: `model`
// outlives it.
[[nodiscard]] std::unique_ptr<RateConvState> RateConvShare(const RateConvState& model);

// Ends the converter, releasing outBuf, work, history and the state.
void RateConvFree(std::unique_ptr<RateConvState> state);
