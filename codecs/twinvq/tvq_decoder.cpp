// SPDX-License-Identifier: GPL-2.0-or-later
// Frame decoding.
#include "codecs/twinvq/tvq_decoder.h"

#include <algorithm>

namespace tvq {

Decoder::Decoder(const ModeLayout& layout) : tables_(layout), fields_(layout), transform_(tables_.layout) {
  const int f = layout.frameSize;
  for (int ch = 0; ch < kMaxChannels; ++ch) {
    overlap_[ch].assign(2 * f, 0.0f);
    coefficients_[ch].assign(f, 0.0f);
    scales_[ch].assign(f, 0.0f);
  }
  pitchVector_.assign(size_t(layout.channels) * layout.pitchHarmonics, 0.0f);
}

void Decoder::DecodeFrame(const VqfFrameIndex& index, float* out) {
  const ModeLayout& m = tables_.layout;
  const int c = m.channels, f = m.frameSize;
  WindowShape shape;
  const bool known = DecodeWindowType(index.windowType, &shape);
  if (!known) shape = WindowShape{kLong, kLong, kLong};
  const bool complete = index.shape != nullptr && index.forwardShort != nullptr && index.forwardAr != nullptr &&
                        index.power != nullptr && index.lsp[0] != nullptr && (c < 2 || index.lsp[1] != nullptr) &&
                        index.codebookPitch != nullptr && index.indexPb[0] != nullptr &&
                        (c < 2 || index.indexPb[1] != nullptr);
  const BlockLayout& b = m.blocks[shape.blockType];
  float* residual[kMaxChannels] = {coefficients_[0].data(), coefficients_[1].data()};
  if (known && complete) {
    DecodeShapes(tables_, b, index.shape, residual);
    if (b.hasPitch) DecodePitchVector(tables_, index.codebookPitch, pitchVector_.data());
    for (int ch = 0; ch < c; ++ch) {
      DecodeScales(m, b, index.lsp[ch], index.power + ch * (b.subPowers + 1), index.forwardAr + ch * b.subBlocks,
                   index.forwardShort + ch * b.subBlocks * b.forwardBands, state_[ch], scales_[ch].data());
      if (b.hasPitch) AddPeaks(m, index.indexPitch[ch], index.indexPgain[ch], pitchVector_.data(), ch, residual[ch]);
      for (int i = 0; i < f; ++i) residual[ch][i] *= scales_[ch][i];
    }
    if (c == 2) {
      for (int sb = 0; sb < b.subBlocks; ++sb) {
        RotateChannels(b, index.indexPb, sb, true, residual[0] + sb * b.length, residual[1] + sb * b.length);
      }
    }
  } else {
    for (int ch = 0; ch < c; ++ch) std::fill(residual[ch], residual[ch] + f, 0.0f);
  }
  for (int ch = 0; ch < c; ++ch) {
    float* acc = overlap_[ch].data();
    transform_.Synthesise(residual[ch], shape, acc);
    std::copy(acc, acc + f, out + ch * f);
    std::copy(acc + f, acc + 2 * f, acc);
    std::fill(acc + f, acc + 2 * f, 0.0f);
  }
}

}  // namespace tvq
