// SPDX-License-Identifier: GPL-2.0-or-later
// MDCT by a half-length complex FFT, and the block windows.
#include "codecs/twinvq/tvq_transform.h"

#include <cmath>
#include <numbers>

#include "convert/fft.h"

namespace tvq {

Mdct::Mdct(int coefficients) : m_(coefficients), order_(0) {
  const int half = m_ / 2;
  while ((1 << order_) < half) ++order_;
  table_.resize(SineTablesSize(half));
  MakeSineTables(table_.data(), half);
  scratch_.resize(2 * half);
  fft_.resize(2 * half);
  fold_.resize(m_);
  unfold_.resize(m_);
  preTwiddle_.resize(2 * half);
  postTwiddle_.resize(2 * half);
  const double pi = std::numbers::pi;
  for (int n = 0; n < half; ++n) {
    preTwiddle_[2 * n] = std::cos(pi * n / m_);
    preTwiddle_[2 * n + 1] = -std::sin(pi * n / m_);
    postTwiddle_[2 * n] = std::cos(pi * (4 * n + 1) / (4.0 * m_));
    postTwiddle_[2 * n + 1] = -std::sin(pi * (4 * n + 1) / (4.0 * m_));
  }
}

// DCT-IV through an M/2-point FFT: t_n = (u_2n + i u_(M-1-2n)) e^(-i pi n/M),
// y = FFT(t) e^(-i pi (4k+1)/(4M)); then X_2k = Re y_k, X_(M-1-2k) = -Im y_k.
void Mdct::DctIv(const double* in, double* out) {
  const int half = m_ / 2;
  for (int n = 0; n < half; ++n) {
    const double re = in[2 * n], im = in[m_ - 1 - 2 * n];
    const double c = preTwiddle_[2 * n], s = preTwiddle_[2 * n + 1];
    fft_[2 * n] = re * c - im * s;
    fft_[2 * n + 1] = re * s + im * c;
  }
  FftForward(fft_.data(), order_, table_.data(), scratch_.data());
  const double scale = std::sqrt(2.0 / m_);
  for (int k = 0; k < half; ++k) {
    const double re = fft_[2 * k], im = fft_[2 * k + 1];
    const double c = postTwiddle_[2 * k], s = postTwiddle_[2 * k + 1];
    out[2 * k] = scale * (re * c - im * s);
    out[m_ - 1 - 2 * k] = -scale * (re * s + im * c);
  }
}

// The 2M samples in quarters a, b, c, d fold to the M values
// (-c reversed - d, a - b reversed), whose DCT-IV is the MDCT.
void Mdct::Forward(const float* x, float* coefficients) {
  const int h = m_ / 2;
  for (int n = 0; n < h; ++n) {
    fold_[n] = -double{x[3 * h - 1 - n]} - double{x[3 * h + n]};
    fold_[h + n] = double{x[n]} - double{x[m_ - 1 - n]};
  }
  DctIv(fold_.data(), unfold_.data());
  for (int k = 0; k < m_; ++k) coefficients[k] = static_cast<float>(unfold_[k]);
}

void Mdct::Inverse(const float* coefficients, float* y) {
  const int h = m_ / 2;
  for (int k = 0; k < m_; ++k) fold_[k] = coefficients[k];
  DctIv(fold_.data(), unfold_.data());
  const double* u = unfold_.data();
  for (int j = 0; j < h; ++j) {
    y[j] = static_cast<float>(u[h + j]);
    y[h + j] = static_cast<float>(-u[m_ - 1 - j]);
    y[m_ + j] = static_cast<float>(-u[h - 1 - j]);
    y[3 * h + j] = static_cast<float>(-u[j]);
  }
}

BlockTransform::BlockTransform(const ModeLayout& layout) : layout_(layout) {
  for (int bt = 0; bt < kBlockTypes; ++bt) mdct_[bt] = std::make_unique<Mdct>(layout.blocks[bt].length);
  work_.resize(4 * kMaxFrameSize);
}

int BlockTransform::SlopeOfClass(int slopeClass) const { return layout_.blocks[slopeClass].length; }

const float* BlockTransform::Window(int m, int leftSlope, int rightSlope) {
  for (const CachedWindow& w : windows_) {
    if (w.m == m && w.left == leftSlope && w.right == rightSlope) return w.values.data();
  }
  CachedWindow w{m, leftSlope, rightSlope, std::vector<float>(2 * m)};
  const double pi = std::numbers::pi;
  const int leftStart = m / 2 - leftSlope / 2;
  const int rightStart = 3 * m / 2 - rightSlope / 2;
  for (int n = 0; n < 2 * m; ++n) {
    double v = 1.0;
    if (n < leftStart) {
      v = 0.0;
    } else if (n < leftStart + leftSlope) {
      v = std::sin(pi / (2.0 * leftSlope) * (n - leftStart + 0.5));
    } else if (n >= rightStart + rightSlope) {
      v = 0.0;
    } else if (n >= rightStart) {
      v = std::cos(pi / (2.0 * rightSlope) * (n - rightStart + 0.5));
    }
    w.values[n] = static_cast<float>(v);
  }
  windows_.push_back(std::move(w));
  return windows_.back().values.data();
}

const float* BlockTransform::SubBlockWindow(const WindowShape& shape, int j) {
  const BlockLayout& b = layout_.blocks[shape.blockType];
  const int m = b.length;
  const int left = j == 0 ? SlopeOfClass(shape.leftClass) : m;
  const int right = j == b.subBlocks - 1 ? SlopeOfClass(shape.rightClass) : m;
  return Window(m, left, right);
}

void BlockTransform::Analyse(const float* block, const WindowShape& shape, float* coefficients) {
  const BlockLayout& b = layout_.blocks[shape.blockType];
  const int m = b.length;
  const int f = layout_.frameSize;
  float* windowed = work_.data();
  for (int j = 0; j < b.subBlocks; ++j) {
    const float* w = SubBlockWindow(shape, j);
    const float* x = block + f / 2 - m / 2 + j * m;
    for (int n = 0; n < 2 * m; ++n) windowed[n] = x[n] * w[n];
    mdct_[shape.blockType]->Forward(windowed, coefficients + j * m);
  }
}

void BlockTransform::Synthesise(const float* coefficients, const WindowShape& shape, float* block) {
  const BlockLayout& b = layout_.blocks[shape.blockType];
  const int m = b.length;
  const int f = layout_.frameSize;
  float* aliased = work_.data();
  for (int j = 0; j < b.subBlocks; ++j) {
    const float* w = SubBlockWindow(shape, j);
    mdct_[shape.blockType]->Inverse(coefficients + j * m, aliased);
    float* y = block + f / 2 - m / 2 + j * m;
    for (int n = 0; n < 2 * m; ++n) y[n] += aliased[n] * w[n];
  }
}

}  // namespace tvq
