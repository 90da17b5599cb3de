// SPDX-License-Identifier: GPL-2.0-or-later
// The decoder of one stream: frame indices to samples.
#pragma once

#include <vector>

#include "codecs/twinvq/tvq_frame.h"

namespace tvq {

class Decoder {
 public:
  explicit Decoder(const ModeLayout& layout);
  const ModeLayout& Layout() const { return tables_.layout; }
  FrameFields& Fields() { return fields_; }
  // Decodes the frame in `index` into channels x frame size samples, channel
  // after channel: the samples of the frame two before it (the first two
  // frames of a stream give the encoder's start-up). Every index value is
  // used through its width; a window type no encoder writes gives silence
  // for the part of the signal that frame alone covers.
  void DecodeFrame(const VqfFrameIndex& index, float* out);

 private:
  ModeTables tables_;
  FrameFields fields_;
  BlockTransform transform_;
  float state_[kMaxChannels][kEnvelopePoints] = {};
  std::vector<float> overlap_[kMaxChannels];  // 2F samples per channel
  std::vector<float> coefficients_[kMaxChannels], scales_[kMaxChannels];
  std::vector<float> pitchVector_;
};

}  // namespace tvq
