// SPDX-License-Identifier: GPL-2.0-or-later
// Linear prediction, LSP conversion and quantisation, and the envelope.
#include "codecs/twinvq/tvq_envelope.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace tvq {
namespace {

constexpr double kPi = std::numbers::pi;
// LSP quantisation works on frequencies as fractions of pi.
constexpr double kMinGap = 0.001;   // smallest distance of two LSPs
constexpr double kEdgeLow = 0.002;  // range of the lowest LSP and of the
constexpr double kEdgeHigh = 0.3;   // highest one's distance from pi
constexpr int kGridPoints = 1024;   // root search grid over (0, pi)
constexpr int kCosineSteps = 2 * kGridPoints;

// cos(pi j / 2048) for j = 0 to 2048: the root search grid (even j) and the
// bin centres pi (f + 1/2) / L of every length L that divides 1024.
const double* Cosines() {
  static const std::array<double, kCosineSteps + 1> table = [] {
    std::array<double, kCosineSteps + 1> t{};
    for (int j = 0; j <= kCosineSteps; ++j) t[j] = std::cos(kPi * j / kCosineSteps);
    return t;
  }();
  return table.data();
}

// cos(pi (f + 1/2) / length). REQUIRES: length divides 1024, f < length.
double BinCosine(int f, int length) { return Cosines()[(2 * f + 1) * (kGridPoints / length)]; }

// Level q of 2^bits levels spread evenly in the logarithm from lo to hi.
double LogLevel(int q, int bits, double lo, double hi) {
  const int top = (1 << bits) - 1;
  return lo * std::pow(hi / lo, static_cast<double>(q) / top);
}

// The level of LogLevel nearest to v in the logarithm.
int NearestLogLevel(double v, int bits, double lo, double hi) {
  const int top = (1 << bits) - 1;
  if (!(v > lo)) return 0;
  const double q = std::log(v / lo) / std::log(hi / lo) * top;
  if (!(q < top)) return top;
  return static_cast<int>(std::lround(q));
}

// Range of the step ratios of the further LSPs (step over the mean step).
double RatioLow(int bits) { return bits >= 3 ? 0.08 : 0.2; }
double RatioHigh(int bits) { return bits >= 3 ? 2.6 : 2.0; }

int Mask(int32_t value, int bits) { return static_cast<int>(static_cast<uint32_t>(value) & ((1u << bits) - 1)); }

// e^(i w n/2) C(e^(i w)) for a symmetric polynomial c[0..n] (n even), a real
// function of x = cos w.
double SymmetricValue(const double* c, int n, double x) {
  const int h = n / 2;
  double sum = c[h];
  double tPrev = 1.0, t = x;  // cos(j w) for j = 0, 1
  for (int j = 1; j <= h; ++j) {
    sum += 2.0 * c[h - j] * t;
    const double next = 2.0 * x * t - tPrev;
    tPrev = t;
    t = next;
  }
  return sum;
}

// Roots in (0, pi) of a symmetric polynomial by a grid scan and bisection;
// returns how many it found (at most `most`).
// The bisection runs on x = cos w, which falls as w rises.
int SymmetricRoots(const double* c, int n, double* roots, int most) {
  const double* cosines = Cosines();
  int found = 0;
  double xPrev = 1.0;
  double vPrev = SymmetricValue(c, n, xPrev);
  for (int g = 1; g <= kGridPoints && found < most; ++g) {
    const double x = cosines[2 * g];
    const double v = SymmetricValue(c, n, x);
    if ((vPrev < 0.0) != (v < 0.0)) {
      double lo = xPrev, hi = x, vLo = vPrev;
      for (int i = 0; i < 30; ++i) {
        const double mid = 0.5 * (lo + hi);
        const double vm = SymmetricValue(c, n, mid);
        if ((vm < 0.0) == (vLo < 0.0)) {
          lo = mid;
          vLo = vm;
        } else {
          hi = mid;
        }
      }
      roots[found++] = std::acos(0.5 * (lo + hi));
    }
    xPrev = x;
    vPrev = v;
  }
  return found;
}

}  // namespace

bool LpcFromPower(const float* power, int length, int order, double* lpc) {
  double r[kMaxLspOrder + 1] = {};
  for (int f = 0; f < length; ++f) {
    const double x = BinCosine(f, length);
    const double p = power[f];
    double tPrev = 1.0, t = x;
    r[0] += p;
    for (int lag = 1; lag <= order; ++lag) {
      r[lag] += p * t;
      const double next = 2.0 * x * t - tPrev;
      tPrev = t;
      t = next;
    }
  }
  if (!(r[0] > 0.0) || !std::isfinite(r[0])) return false;
  // A slight smoothing of the fitted spectrum (lag window) and a floor 40 dB
  // below its mean keep the fit well conditioned.
  for (int lag = 1; lag <= order; ++lag) {
    const double a = 0.008 * kPi * lag;
    r[lag] *= std::exp(-0.5 * a * a);
  }
  r[0] *= 1.0001;
  // Levinson-Durbin recursion.
  double a[kMaxLspOrder + 1] = {1.0};
  double error = r[0];
  for (int i = 1; i <= order; ++i) {
    double acc = r[i];
    for (int j = 1; j < i; ++j) acc += a[j] * r[i - j];
    const double k = -acc / error;
    if (!(std::fabs(k) < 1.0)) break;
    double next[kMaxLspOrder + 1];
    for (int j = 0; j <= order; ++j) next[j] = a[j];
    for (int j = 1; j < i; ++j) next[j] = a[j] + k * a[i - j];
    next[i] = k;
    for (int j = 0; j <= order; ++j) a[j] = next[j];
    error *= 1.0 - k * k;
  }
  // A mild bandwidth expansion.
  double g = 1.0;
  for (int j = 0; j <= order; ++j) {
    lpc[j] = a[j] * g;
    g *= 0.998;
  }
  return true;
}

bool LpcToLsp(const double* lpc, int order, double* lsp) {
  // P = A + z^-(p+1) A(1/z) and Q = A - z^-(p+1) A(1/z), without their
  // roots at z = -1 and z = 1: symmetric polynomials of degree p whose roots
  // on the unit circle interleave, the lowest belonging to P.
  double sumPoly[kMaxLspOrder + 1], differencePoly[kMaxLspOrder + 1];
  double prevSum = 0.0, prevDifference = 0.0;
  for (int k = 0; k <= order; ++k) {
    const double a = lpc[k];
    const double mirrored = k == 0 ? 0.0 : lpc[order + 1 - k];
    sumPoly[k] = (a + mirrored) - prevSum;
    differencePoly[k] = (a - mirrored) + prevDifference;
    prevSum = sumPoly[k];
    prevDifference = differencePoly[k];
  }
  const int half = order / 2;
  double sumRoots[kMaxLspOrder], differenceRoots[kMaxLspOrder];
  if (SymmetricRoots(sumPoly, order, sumRoots, half) != half) return false;
  if (SymmetricRoots(differencePoly, order, differenceRoots, half) != half) return false;
  for (int i = 0; i < half; ++i) {
    lsp[2 * i] = sumRoots[i];
    lsp[2 * i + 1] = differenceRoots[i];
  }
  for (int i = 1; i < order; ++i) {
    if (!(lsp[i] > lsp[i - 1])) return false;
  }
  return lsp[0] > 0.0 && lsp[order - 1] < kPi;
}

void FlatLsp(int order, double* lsp) {
  for (int i = 0; i < order; ++i) lsp[i] = kPi * (i + 1) / (order + 1);
}

namespace {

// The reconstruction shared by the quantiser and the decoder: LSP i (from 2)
// from the one below and its step index. Frequencies as fractions of pi.
double NextLsp(const ModeLayout& m, double below, double top, int i, int index) {
  const int order = m.lspOrder;
  const double meanStep = (top - below) / (order - i);
  const double step = LogLevel(index, m.lsp2Bits, RatioLow(m.lsp2Bits), RatioHigh(m.lsp2Bits)) * meanStep;
  return std::clamp(below + step, below + kMinGap, top - (order - 1 - i) * kMinGap);
}

double TopLsp(const ModeLayout& m, int index) {
  return 1.0 - LogLevel(index, m.lsp1Bits, kEdgeLow, kEdgeHigh);
}

double FirstLsp(const ModeLayout& m, double top, int index) {
  return std::clamp(LogLevel(index, m.lsp0Bits, kEdgeLow, kEdgeHigh), kMinGap, top - (m.lspOrder - 1) * kMinGap);
}

}  // namespace

void QuantiseLsp(const ModeLayout& m, const double* lsp, int32_t* indices) {
  const int order = m.lspOrder;
  indices[1] = NearestLogLevel(1.0 - lsp[order - 1] / kPi, m.lsp1Bits, kEdgeLow, kEdgeHigh);
  const double top = TopLsp(m, indices[1]);
  indices[0] = NearestLogLevel(lsp[0] / kPi, m.lsp0Bits, kEdgeLow, kEdgeHigh);
  double below = FirstLsp(m, top, indices[0]);
  for (int i = 1; i < order - 1; ++i) {
    const double meanStep = (top - below) / (order - i);
    const double ratio = (lsp[i] / kPi - below) / meanStep;
    const int index = NearestLogLevel(ratio, m.lsp2Bits, RatioLow(m.lsp2Bits), RatioHigh(m.lsp2Bits));
    indices[1 + i] = index;
    below = NextLsp(m, below, top, i, index);
  }
}

void DecodeLsp(const ModeLayout& m, const int32_t* indices, double* lsp) {
  const int order = m.lspOrder;
  const double top = TopLsp(m, Mask(indices[1], m.lsp1Bits));
  double below = FirstLsp(m, top, Mask(indices[0], m.lsp0Bits));
  lsp[0] = below * kPi;
  for (int i = 1; i < order - 1; ++i) {
    below = NextLsp(m, below, top, i, Mask(indices[1 + i], m.lsp2Bits));
    lsp[i] = below * kPi;
  }
  lsp[order - 1] = top * kPi;
}

void LspEnvelope(const double* lsp, int order, int length, float* envelope) {
  double cosines[kMaxLspOrder];
  for (int i = 0; i < order; ++i) cosines[i] = std::cos(lsp[i]);
  double meanSquare = 0.0;
  for (int f = 0; f < length; ++f) {
    const double x = BinCosine(f, length);
    // |A|^2 = (|P|^2 + |Q|^2) / 4, each a product over its roots.
    double p = 2.0 * (1.0 + x), q = 2.0 * (1.0 - x);
    for (int i = 0; i < order; i += 2) {
      const double dp = x - cosines[i], dq = x - cosines[i + 1];
      p *= 4.0 * dp * dp;
      q *= 4.0 * dq * dq;
    }
    const double power = 4.0 / std::max(p + q, 1e-30);
    envelope[f] = static_cast<float>(power);
    meanSquare += power;
  }
  const double scale = meanSquare > 0.0 ? length / meanSquare : 1.0;
  for (int f = 0; f < length; ++f) {
    const double v = std::sqrt(envelope[f] * scale);
    envelope[f] = static_cast<float>(std::clamp(v, 0x1p-20, 0x1p10));
  }
}

}  // namespace tvq
