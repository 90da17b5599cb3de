// SPDX-License-Identifier: GPL-2.0-or-later
// The lapped transform of the TwinVQ libraries: a windowed MDCT computed with
// an FFT, sub-block by sub-block, with slopes that change length between
// block types so that every sequence of block types reconstructs perfectly.
//
// A block of a frame covers two frames of samples (2F per channel). Its S
// sub-blocks of M = F / S coefficients each take 2M samples starting at
// F/2 - M/2 + j M, so a long block (S = 1) takes the whole 2F and the
// sub-blocks of shorter types sit in its middle. Neighbouring transforms
// overlap in a sine slope centred on their shared fold point; the slope of a
// block edge is as long as the shorter of the two blocks' sub-blocks.
#pragma once

#include <memory>
#include <vector>

#include "codecs/twinvq/tvq_layout.h"

namespace tvq {

// An orthonormal MDCT of one size: 2M samples to M coefficients and back.
class Mdct {
 public:
  // REQUIRES: coefficients is a power of two from 16 to 1024.
  explicit Mdct(int coefficients);
  // M coefficients from 2M samples (already windowed).
  void Forward(const float* samples, float* coefficients);
  // 2M aliased samples from M coefficients (to be windowed and overlapped).
  void Inverse(const float* coefficients, float* samples);

 private:
  // The orthonormal DCT-IV of `in` (M values) into `out`.
  void DctIv(const double* in, double* out);
  int m_;
  int order_;  // log2 of M / 2, the FFT length
  std::vector<double> table_, scratch_, fft_, fold_, unfold_;
  std::vector<double> preTwiddle_, postTwiddle_;  // cos, sin pairs
};

// Transforms of one mode: an MDCT per block type and the windows.
class BlockTransform {
 public:
  explicit BlockTransform(const ModeLayout& layout);
  // The coefficients of one channel's block (2F samples, the older frame
  // first): S sub-blocks of M coefficients, sub-block after sub-block.
  void Analyse(const float* block, const WindowShape& shape, float* coefficients);
  // Adds the windowed synthesis of one channel's coefficients to `block`
  // (2F samples, the older frame first).
  void Synthesise(const float* coefficients, const WindowShape& shape, float* block);

 private:
  // The window of a sub-block of M coefficients with the given slopes.
  const float* Window(int m, int leftSlope, int rightSlope);
  // The window of sub-block j of a block: the block's own slopes at its
  // ends, the sub-blocks' own between them.
  const float* SubBlockWindow(const WindowShape& shape, int j);
  int SlopeOfClass(int slopeClass) const;
  const ModeLayout& layout_;
  std::unique_ptr<Mdct> mdct_[kBlockTypes];
  struct CachedWindow {
    int m, left, right;
    std::vector<float> values;
  };
  std::vector<CachedWindow> windows_;
  std::vector<float> work_;
};

}  // namespace tvq
