// SPDX-License-Identifier: GPL-2.0-or-later
// The encoder of one stream: samples to frame indices.
//
// The encoder looks one frame ahead: the frame it is given decides the block
// type of the next block, and the block it codes covers the two frames
// before. With the one frame that overlap adds, a decoder's output for
// frame k + 2 is the input of frame k.
#pragma once

#include <vector>

#include "codecs/twinvq/tvq_frame.h"

namespace tvq {

class Encoder {
 public:
  // `candidates`: entries per codebook kept by the preselection (4 to 32).
  Encoder(const ModeLayout& layout, int candidates);
  const ModeLayout& Layout() const { return tables_.layout; }
  FrameFields& Fields() { return fields_; }
  // Codes channels x frame size samples (channel after channel, 16-bit
  // scale) into `index`, whose arrays must be this encoder's Fields().
  void EncodeFrame(const float* in, VqfFrameIndex* index);

 private:
  // The block type the next block needs: short or medium blocks when the
  // samples it covers hold an attack.
  int NextBlockType() const;
  void ChooseBalance(const BlockLayout& b);
  void ChooseEnvelope(const BlockLayout& b, int ch);
  void ChoosePeaks(VqfFrameIndex* index);
  void ChooseShapes(VqfFrameIndex* index, const BlockLayout& b);
  void RefineGains(const BlockLayout& b);

  ModeTables tables_;
  FrameFields fields_;
  BlockTransform transform_;
  int candidates_;
  int previousType_ = kLong, currentType_ = kLong;
  float state_[kMaxChannels][kEnvelopePoints] = {};
  std::vector<float> history_[kMaxChannels];  // the last three frames
  std::vector<float> coefficients_[kMaxChannels], scales_[kMaxChannels];
  std::vector<float> residual_[kMaxChannels], weights_[kMaxChannels], decoded_[kMaxChannels];
  std::vector<float> pitchVector_;
  SearchScratch scratch_;
};

}  // namespace tvq
