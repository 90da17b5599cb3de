// SPDX-License-Identifier: GPL-2.0-or-later
// Block rate converter: Kaiser-windowed lowpass by fast convolution, then a
// 128-phase windowed-sinc interpolator at the output instants.
#include "convert/rate_converter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "convert/double_pair.h"
#include "convert/fft.h"
#include "convert/rate_filter_design.h"

int debugLevel = 0;

namespace {

constexpr int kDefaultTaps = 485;
constexpr float kDefaultKaiser = 10.0f;
// Kaiser parameters above this say nothing useful and make BesselI0 slow.
constexpr float kMaxKaiser = 100.0f;
// Half the taps of filter 1 at most, so the FFT stays within kMaxFftOrder.
constexpr int kMaxHalfTaps = 1 << (kMaxFftOrder - 3);
// Cap on one call's output, in floats.
constexpr double kMaxOutSize = 1 << 24;
// Points of the filtered block kept in front of output instant 0 beyond h.
constexpr int kInterpMargin = 9;

template <class T>
std::unique_ptr<T[]> AllocateZeroed(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// Measures the transition width of filter 1: designs it with cutoff 0.5 into
// fftBuf and returns (k - M/2) / (M/2), where bin k is the highest bin not
// 100 dB below the passband.
double MeasureTransition(const RateConvState& st, int e, int h, double a1) {
  const size_t n = size_t{1} << e;
  const size_t m = n / 2;
  DesignKaiserLowpass(0.5, a1, n, h, st.fftBuf);
  FftForward(st.fftBuf, e, st.sines, nullptr);
  const double threshold = st.fftBuf[0] * st.fftBuf[0] * 1e-10;
  size_t k = m;
  while (k > 0 && st.fftBuf[2 * k] * st.fftBuf[2 * k] < threshold) --k;
  return (static_cast<double>(k) - static_cast<double>(m / 2)) / static_cast<double>(m / 2);
}

struct Cutoff {
  float fc;
  int direct;
};

// Settles the cutoff of filter 1 (fraction of the input Nyquist frequency,
// doubled when `direct`) from the given edges or, when both are negative,
// from the ratio 1 / step. The result may be zero or less (refused by the
// caller).
Cutoff ChooseCutoff(double step, float fc, float fd, double df) {
  int direct = 0;
  if (fc >= 0) {
    if (fc < 0.5 - df) {
      fc = 2 * fc;
      direct = 1;
    }
  } else if (fd >= 0) {
    fc = static_cast<float>(fd - df);
    if (fd <= 0.5) {
      fc = static_cast<float>(2 * fd - df);
      direct = 1;
    }
  } else {
    const double r = 1.0 / step;
    fc = static_cast<float>(r - df);
    if (r - df < 0.5 - 0.5 * df) {
      fc = static_cast<float>(2 * r - df);
      direct = 1;
    }
    if (fc > 1 - df) fc = static_cast<float>(1 - df);
  }
  if (fc > 2.0f) fc = 2.0f;
  return {fc, direct};
}

// Fills the blockLen points of fftBuf from the history and inSize new input
// values, and carries the last H points (as filled) into the history.
void FillBlock(RateConvState& st, const int16_t* x) {
  const int np = st.blockLen;
  const int len = st.newLen;
  const int h = np - len;
  double* buf = st.fftBuf;
  double* hist = st.history.get();
  if (st.numChannel == 1) {
    // Real parts: this block; imaginary parts: the next, L' values later.
    for (int j = 0; j < h; ++j) buf[2 * j] = hist[2 * j];
    for (int j = h; j < np; ++j) buf[2 * j] = x[j - h];
    const int16_t* next = x + (len - h);
    for (int j = 0; j < np; ++j) buf[2 * j + 1] = next[j];
    for (int j = 0; j < h; ++j) hist[2 * j] = x[2 * len - h + j];
  } else {
    std::copy(hist, hist + 2 * h, buf);
    for (int j = h; j < np; ++j) {
      buf[2 * j] = x[2 * (j - h)];
      buf[2 * j + 1] = x[2 * (j - h) + 1];
    }
    std::copy(buf + 2 * len, buf + 2 * np, hist);
  }
}

// Filters fftBuf in place. direct: forward over N points, multiply by the
// response, inverse. Otherwise the forward transform covers the first N/2
// points only; repeating its spectrum over N bins before the multiply
// upsamples the block by 2, so point j of the result lies at input time j/2.
void FilterBlock(RateConvState& st) {
  const int e = st.fftOrder;
  const size_t n = size_t{1} << e;
  const size_t m = n / 2;
  double* x = st.fftBuf;
  const double* r = st.response;
  const double* tables = st.sines;
  if (st.direct != 0) {
    FftForward(x, e, tables, nullptr);
    for (size_t k = 0; k < m; ++k) {
      x[2 * k] *= r[k];
      x[2 * k + 1] *= r[k];
      x[2 * (m + k)] *= r[m - k];
      x[2 * (m + k) + 1] *= r[m - k];
    }
  } else {
    // The table for N/2 starts at value N; the unused second half of fftBuf
    // serves as the transform's scratch.
    FftForward(x, e - 1, tables + n, x + n);
    for (size_t k = 0; k < m; ++k) {
      x[2 * (m + k)] = x[2 * k] * r[m - k];
      x[2 * (m + k) + 1] = x[2 * k + 1] * r[m - k];
      x[2 * k] *= r[k];
      x[2 * k + 1] *= r[k];
    }
  }
  FftInverse(x, e, tables, nullptr);
}

// Splits an output instant into sample index i, phase p (0 ... 127) and the
// fraction f between phases p and p + 1. REQUIRES 0 <= pos < 2^23.
struct Instant {
  int i;
  int p;
  double f;
};

inline Instant SplitInstant(double pos) {
  const double scaled = pos * kInterpPhases;
  const unsigned v = static_cast<unsigned>(scaled);
  return {static_cast<int>(v / kInterpPhases), static_cast<int>(v % kInterpPhases), scaled - v};
}

// The one-channel layout interpolates the real or the imaginary parts alone
// (one double per point); the two-channel layout both at once.
struct OneLane {
  using Value = double;
  static constexpr int kWidth = 1;
  static double Load(const double* p) { return *p; }
  static double Splat(double x) { return x; }
  static void Put(double v, float* out) { out[0] = static_cast<float>(v); }
};

struct TwoLanes {
  using Value = DoublePair;
  static constexpr int kWidth = 2;
  static DoublePair Load(const double* p) { return LoadPair(p); }
  static DoublePair Splat(double x) { return SplatPair(x); }
  static void Put(DoublePair v, float* out) {
    out[0] = static_cast<float>(v[0]);
    out[1] = static_cast<float>(v[1]);
  }
};

// Phase q of the kernel around sample index i.
struct PhaseRef {
  int i;
  int q;
};

// S(q) for K phase references over the sequence s (stride 2 doubles, s[0] at
// output instant 0): sum over m = 0 ... 7 of
// table[q + 128m] s[i - m] + table[128(m + 1) - q] s[i + 1 + m], in that
// order. The K sums are independent chains, so they overlap in the pipeline.
template <int K, class Lanes>
inline void PhaseSums(const double* s, const double* table, const PhaseRef* refs,
                      typename Lanes::Value* acc) {
  const double* before[K];
  const double* rising[K];
  const double* falling[K];
#pragma GCC unroll 4
  for (int k = 0; k < K; ++k) {
    before[k] = s + 2 * refs[k].i;
    rising[k] = table + refs[k].q;
    falling[k] = table + kInterpPhases - refs[k].q;
    acc[k] = typename Lanes::Value{};
  }
#pragma GCC unroll 8
  for (int m = 0; m < 8; ++m) {
#pragma GCC unroll 4
    for (int k = 0; k < K; ++k) {
      acc[k] += Lanes::Splat(rising[k][kInterpPhases * m]) * Lanes::Load(before[k] - 2 * m) +
                Lanes::Splat(falling[k][kInterpPhases * m]) * Lanes::Load(before[k] + 2 + 2 * m);
    }
  }
}

// Interpolate: the values at the n (1 or 2) output instants pos[] over s,
// each S(p) + f (S(p + 1) - S(p)) as a 32-bit float (S(p) alone when f = 0,
// which is the same value). Writes Lanes::kWidth floats per instant.
template <class Lanes>
inline void Interpolate(const double* s, const double* table, const double* pos, int n,
                        float* out) {
  Instant t[2];
  int first[2];
  PhaseRef refs[4];
  int k = 0;
  for (int j = 0; j < n; ++j) {
    t[j] = SplitInstant(pos[j]);
    first[j] = k;
    refs[k++] = {t[j].i, t[j].p};
    if (t[j].f != 0.0) refs[k++] = {t[j].i, t[j].p + 1};
  }
  typename Lanes::Value acc[4];
  switch (k) {
    case 1: PhaseSums<1, Lanes>(s, table, refs, acc); break;
    case 2: PhaseSums<2, Lanes>(s, table, refs, acc); break;
    case 3: PhaseSums<3, Lanes>(s, table, refs, acc); break;
    default: PhaseSums<4, Lanes>(s, table, refs, acc); break;
  }
  for (int j = 0; j < n; ++j) {
    typename Lanes::Value v = acc[first[j]];
    if (t[j].f != 0.0) v += Lanes::Splat(t[j].f) * (acc[first[j] + 1] - v);
    Lanes::Put(v, out + j * Lanes::kWidth);
  }
}

// Instants on whole points (a whole start and a whole step, as with ratios
// 2, 1/2 and 1/4) all fall on phase 0 with f = 0, so the 16 coefficients of
// phase 0 serve every instant; the sums are the same as Interpolate's.
template <class Lanes>
double RunWholeInstants(const double* s, const double* table, double pos, double span,
                        double step, float* out, long& count, long capacity) {
  constexpr int w = Lanes::kWidth;
  typename Lanes::Value rising[8], falling[8];
  for (int m = 0; m < 8; ++m) {
    rising[m] = Lanes::Splat(table[kInterpPhases * m]);
    falling[m] = Lanes::Splat(table[kInterpPhases * (m + 1)]);
  }
  const int advance = static_cast<int>(step);
  const int end = static_cast<int>(span);
  int i = static_cast<int>(pos);
  for (; i < end && count + w <= capacity; i += advance) {
    const double* before = s + 2 * i;
    typename Lanes::Value acc{};
#pragma GCC unroll 8
    for (int m = 0; m < 8; ++m) {
      acc += rising[m] * Lanes::Load(before - 2 * m) + falling[m] * Lanes::Load(before + 2 + 2 * m);
    }
    Lanes::Put(acc, out + count);
    count += w;
  }
  return i;
}

// Writes the output instants pos, pos + step, ... below span over s to out
// (two at a time), keeping count within capacity; returns the first instant
// not written.
template <class Lanes>
double RunInstants(const double* s, const double* table, double pos, double span, double step,
                   float* out, long& count, long capacity) {
  if (step == std::floor(step) && pos == std::floor(pos)) {
    return RunWholeInstants<Lanes>(s, table, pos, span, step, out, count, capacity);
  }
  constexpr int w = Lanes::kWidth;
  while (pos < span && count + w <= capacity) {
    const double at[2] = {pos, pos + step};
    const int n = at[1] < span && count + 2 * w <= capacity ? 2 : 1;
    Interpolate<Lanes>(s, table, at, n, out + count);
    count += n * w;
    pos = n == 2 ? at[1] + step : at[1];
  }
  return pos;
}

}  // namespace

std::unique_ptr<RateConvState> RateConvInit(int debug, double ratio, int numChannel, int htaps1,
                                            float a1, float fc, float fd, long& inSize) {
  debugLevel = debug;
  if (debugLevel != 0) {
    std::printf("RateConvInit: debugLevel=%d ratio=%f numChannel=%d\nhtaps1=%d a1=%f fc=%f fd=%f\n",
                debug, ratio, numChannel, htaps1, static_cast<double>(a1),
                static_cast<double>(fc), static_cast<double>(fd));
  }
  if (!std::isfinite(ratio) || std::isnan(a1) || std::isnan(fc) || std::isnan(fd)) return nullptr;
  std::unique_ptr<RateConvState> st(new (std::nothrow) RateConvState);
  if (!st) return nullptr;
  st->numChannel = numChannel;

  if (htaps1 < 0) htaps1 = kDefaultTaps;
  const int h = htaps1 / 2;
  if (a1 < 0) a1 = kDefaultKaiser;
  if (h > kMaxHalfTaps || a1 > kMaxKaiser) return nullptr;
  int e = 2;
  if (8 * h > 4) {
    while ((1 << e) < 8 * h) e += 2;
  }
  if (e < 4) return nullptr;  // no room for a block (and transforms need 8 points)
  const size_t n = size_t{1} << e;
  const size_t m = n / 2;

  st->work = AllocateZeroed<double>(4 * n + m + 1153);
  if (!st->work) return nullptr;
  st->sines = st->work.get();
  st->fftBuf = st->work.get() + 2 * n;
  double* response = st->fftBuf + 2 * n;
  double* interpTable = response + m + 1;
  st->response = response;
  st->interpTable = interpTable;
  MakeSineTables(st->work.get(), n);

  const double df = MeasureTransition(*st, e, h, a1);

  if (ratio < 0) ratio = 1.0;
  if (ratio == 0) return nullptr;  // no output instants could ever advance
  double step = 1.0 / ratio;
  const Cutoff cut = ChooseCutoff(step, fc, fd, df);
  if (!(cut.fc > 0)) return nullptr;

  int blockLen = static_cast<int>(n);
  int newLen = static_cast<int>(n) - 2 * (h + kInterpMargin);
  if (cut.direct == 0) {
    step *= 2;
    blockLen /= 2;
    newLen >>= 1;
  }
  const int carried = blockLen - newLen;
  if (carried <= 0 || newLen < carried) return nullptr;

  DesignKaiserLowpass(cut.fc * 0.5, a1, n, h, st->fftBuf);
  FftForward(st->fftBuf, e, st->sines, nullptr);
  const double divisor = (cut.direct + 1) * static_cast<double>(m);
  for (size_t i = 0; i <= m; ++i) response[i] = st->fftBuf[2 * i] / divisor;
  DesignInterpTable(interpTable);

  const double outSize = (2.0 * newLen + 4) * ratio + 4.0;
  if (!(outSize <= kMaxOutSize)) return nullptr;
  st->outSize = static_cast<long>(outSize);
  st->outBuf = AllocateZeroed<float>(static_cast<size_t>(st->outSize));
  st->history = AllocateZeroed<double>(2 * static_cast<size_t>(carried));
  if (!st->outBuf || !st->history) return nullptr;

  st->blockLen = blockLen;
  st->newLen = newLen;
  st->offset = h + kInterpMargin;
  st->direct = cut.direct;
  st->fftOrder = e;
  st->position = h + kInterpMargin;
  st->step = step;
  st->cutoff = cut.fc;
  st->transition = df;
  inSize = 2L * newLen;
  if (debugLevel != 0) {
    std::printf(
        "RateConvInit: inSize=%ld outSize=%ld\n  output/input ratio : %8.2f\n"
        "  cutoff frequency   : %10.4f\n  Kaiser parameter   : %10.4f\n"
        "  filter 1 taps      : %5li\n  filter 1 transition: %10.4f\n"
        "  FFT length         : %5li\n  oversampling factor: %5li\n",
        inSize, st->outSize, ratio, static_cast<double>(cut.fc / (cut.direct + 1)),
        static_cast<double>(a1), static_cast<long>(2 * h + 1), df / 2, static_cast<long>(n),
        cut.direct != 0 ? 128L : 256L);
  }
  return st;
}

void RateConvFeed(RateConvState& st, const int16_t* input) {
  FillBlock(st, input);
  FilterBlock(st);
  st.emitPhase = 0;
  st.emitPosition = st.position;
  st.sampleIn += 2L * st.newLen;
}

int RateConvEmit(RateConvState& st, float* out, long capacity) {
  const double span = st.direct != 0 ? st.newLen : 2.0 * st.newLen;
  const double* real = st.fftBuf + 2 * st.offset;
  long count = 0;
  double pos = st.emitPosition;
  // The one-channel layout runs the real parts, then the imaginary parts
  // (the next block of input), each from where the previous left off.
  while (st.emitPhase < 2 && count + 2 <= capacity) {
    if (st.numChannel == 1) {
      pos = RunInstants<OneLane>(real + st.emitPhase, st.interpTable, pos, span, st.step, out, count, capacity);
    } else {
      pos = RunInstants<TwoLanes>(real, st.interpTable, pos, span, st.step, out, count, capacity);
    }
    if (pos < span) break;  // the capacity is used up
    pos -= span;
    st.emitPhase = st.numChannel == 1 && st.emitPhase == 0 ? 1 : 2;
  }
  st.emitPosition = pos;
  if (st.emitPhase == 2) st.position = pos;
  st.sampleOut += count;
  return static_cast<int>(count);
}

int RateConv(RateConvState& st, const int16_t* input, long numSampleIn, const float*& output) {
  if (debugLevel != 0) std::printf("RateConv: numSampleIn=%ld\n", numSampleIn);
  RateConvFeed(st, input);
  // outSize holds every output value of one block.
  const int count = RateConvEmit(st, st.outBuf.get(), st.outSize);
  output = st.outBuf.get();
  return count;
}

std::unique_ptr<RateConvState> RateConvShare(const RateConvState& model) {
  std::unique_ptr<RateConvState> st(new (std::nothrow) RateConvState);
  if (!st) return nullptr;
  const size_t n = size_t{1} << model.fftOrder;
  const size_t carried = static_cast<size_t>(model.blockLen - model.newLen);
  st->work = AllocateZeroed<double>(2 * n);
  st->history = AllocateZeroed<double>(2 * carried);
  if (!st->work || !st->history) return nullptr;
  st->numChannel = model.numChannel;
  st->sines = model.sines;
  st->fftBuf = st->work.get();
  st->response = model.response;
  st->interpTable = model.interpTable;
  st->blockLen = model.blockLen;
  st->newLen = model.newLen;
  st->offset = model.offset;
  st->direct = model.direct;
  st->fftOrder = model.fftOrder;
  st->position = model.offset;
  st->step = model.step;
  st->cutoff = model.cutoff;
  st->transition = model.transition;
  return st;
}

void RateConvFree(std::unique_ptr<RateConvState> state) {
  if (!state) return;
  if (debugLevel != 0) {
    std::printf("RateConvFree: sampleIn=%ld sampleOut=%ld\n", state->sampleIn, state->sampleOut);
  }
  state->outBuf.reset();
  state->work.reset();
  state->history.reset();
  state.reset();
}
