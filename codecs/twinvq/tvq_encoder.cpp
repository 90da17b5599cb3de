// SPDX-License-Identifier: GPL-2.0-or-later
// Frame encoding: block switching, analysis and the index searches.
#include "codecs/twinvq/tvq_encoder.h"

#include <algorithm>
#include <cmath>

#include "codecs/twinvq/tvq_envelope.h"

namespace tvq {
namespace {

// The shape search weighs the error of coefficient f by scale[f]^kWeightPower:
// 2 would be the plain squared error of the coefficients, 0 an equal share of
// the error for every coefficient relative to the envelope. Between the two,
// the noise follows the spectrum partly, as hearing masks it.
constexpr float kWeightPower = 1.2f;
// Attack ratios (energy of a piece of the signal over the pieces before it)
// that ask for short and medium blocks.
constexpr float kShortAttack = 12.0f;
constexpr float kMediumAttack = 4.0f;
constexpr int kAttackPieces = 16;  // pieces per frame
constexpr int kAttackMemory = 8;   // pieces the attack is measured against
// Periodic peaks are coded when their bins hold this many times the mean
// weighted energy of a bin.
constexpr float kPeakAdvantage = 4.0f;
constexpr float kSampleLimit = 1.0e6f;

float Sanitised(float v) { return std::isnan(v) ? 0.0f : std::clamp(v, -kSampleLimit, kSampleLimit); }

}  // namespace

Encoder::Encoder(const ModeLayout& layout, int candidates)
    : tables_(layout), fields_(layout), transform_(tables_.layout), candidates_(candidates) {
  const int f = layout.frameSize;
  for (int ch = 0; ch < kMaxChannels; ++ch) {
    history_[ch].assign(3 * f, 0.0f);
    coefficients_[ch].assign(f, 0.0f);
    scales_[ch].assign(f, 0.0f);
    residual_[ch].assign(f, 0.0f);
    weights_[ch].assign(f, 0.0f);
    decoded_[ch].assign(f, 0.0f);
  }
  pitchVector_.assign(size_t(layout.channels) * layout.pitchHarmonics, 0.0f);
}

int Encoder::NextBlockType() const {
  const ModeLayout& m = tables_.layout;
  const int f = m.frameSize, piece = f / kAttackPieces;
  float energy[3 * kAttackPieces] = {};
  for (int ch = 0; ch < m.channels; ++ch) {
    const float* x = history_[ch].data();
    for (int s = 0; s < 3 * kAttackPieces; ++s) {
      float sum = 0.0f;
      for (int n = s * piece; n < (s + 1) * piece; ++n) {
        const float d = n > 0 ? x[n] - x[n - 1] : 0.0f;  // high-passed
        sum += d * d;
      }
      energy[s] += sum;
    }
  }
  // The pieces that the short sub-blocks of the next block cover: samples
  // 1.5F - M/2 to 2.5F + M/2 of the history (M = F/8).
  const int shortLength = m.blocks[kShort].length;
  const int first = (3 * f / 2 - shortLength / 2) / piece;
  const int last = (5 * f / 2 + shortLength / 2 + piece - 1) / piece;
  const float quiet = 100.0f * piece;  // a difference of 10 per sample
  float attack = 0.0f;
  for (int s = first; s < last; ++s) {
    float before = 0.0f;
    for (int i = s - kAttackMemory; i < s; ++i) before += energy[i];
    attack = std::max(attack, energy[s] / (before / kAttackMemory + quiet));
  }
  if (attack > kShortAttack) return kShort;
  if (attack > kMediumAttack) return kMedium;
  return kLong;
}

void Encoder::ChooseBalance(const BlockLayout& b) {
  const int nb = b.balanceBands;
  for (int sb = 0; sb < b.subBlocks; ++sb) {
    float* left = coefficients_[0].data() + sb * b.length;
    float* right = coefficients_[1].data() + sb * b.length;
    for (int j = 0; j < 2 * nb; ++j) {
      double ll = 0.0, rr = 0.0, lr = 0.0;
      for (int f = b.balanceEdges[j]; f < b.balanceEdges[j + 1]; ++f) {
        ll += double{left[f]} * left[f];
        rr += double{right[f]} * right[f];
        lr += double{left[f]} * right[f];
      }
      // The angle that puts the most energy into the first coded channel.
      const double angle = 0.5 * std::atan2(2.0 * lr, ll - rr);
      fields_.balance[j / nb][sb * nb + j % nb] = NearestBalance(angle, b.balanceBits);
    }
    const int32_t* balance[kMaxChannels] = {fields_.balance[0].data(), fields_.balance[1].data()};
    RotateChannels(b, balance, sb, false, left, right);
  }
}

void Encoder::ChooseEnvelope(const BlockLayout& b, int ch) {
  const ModeLayout& m = tables_.layout;
  const int length = b.length, s = b.subBlocks;
  const float* x = coefficients_[ch].data();
  float power[kMaxFrameSize];
  for (int f = 0; f < length; ++f) {
    float sum = 0.0f;
    for (int sb = 0; sb < s; ++sb) sum += x[sb * length + f] * x[sb * length + f];
    power[f] = sum / s;
  }
  double lpc[kMaxLspOrder + 1], lsp[kMaxLspOrder];
  if (!LpcFromPower(power, length, m.lspOrder, lpc) || !LpcToLsp(lpc, m.lspOrder, lsp)) FlatLsp(m.lspOrder, lsp);
  int32_t* lspIndices = fields_.lsp[ch].data();
  QuantiseLsp(m, lsp, lspIndices);
  double decodedLsp[kMaxLspOrder];
  float envelope[kMaxFrameSize];
  DecodeLsp(m, lspIndices, decodedLsp);
  LspEnvelope(decodedLsp, m.lspOrder, length, envelope);

  // Sub-block gains: the RMS of the coefficients over the envelope.
  double gains[kMaxSubBlocks];
  double loudest = 0.0;
  for (int sb = 0; sb < s; ++sb) {
    double sum = 0.0;
    for (int f = 0; f < length; ++f) {
      const double v = x[sb * length + f] / envelope[f];
      sum += v * v;
    }
    gains[sb] = std::sqrt(sum / length);
    loudest = std::max(loudest, gains[sb]);
  }
  int32_t* powerIndices = fields_.power.data() + ch * (b.subPowers + 1);
  powerIndices[0] = NearestPower(m, loudest);
  const double main = PowerLevel(m, powerIndices[0]);
  for (int k = 0; k < b.subPowers; ++k) {
    const int top = (1 << m.subPowerBits) - 1;
    double steps = top;
    if (main > 0.0 && gains[k] > 0.0) steps = std::log2(main / gains[k]) / kSubPowerStep;
    powerIndices[1 + k] = std::clamp(static_cast<int>(std::lround(std::clamp(steps, 0.0, double(top)))), 0, top);
  }
  float decodedGains[kMaxSubBlocks];
  DecodeGains(m, b, powerIndices, decodedGains);

  // Forward levels, sub-block after sub-block, each with the predictor factor
  // that leaves the smallest error; the state moves on as the decoder's will.
  int32_t* arIndices = fields_.forwardAr.data() + ch * s;
  int32_t* forwardIndices = fields_.forwardShort.data() + ch * s * b.forwardBands;
  float state[kEnvelopePoints];
  std::copy(state_[ch], state_[ch] + kEnvelopePoints, state);
  const int levels = 1 << b.forwardBits;
  const float step = ForwardStep(b.forwardBits);
  for (int sb = 0; sb < s; ++sb) {
    float targets[kMaxForwardBands];
    for (int band = 0; band < b.forwardBands; ++band) {
      double sum = 0.0;
      const int lo = b.bandEdges[band], hi = b.bandEdges[band + 1];
      for (int f = lo; f < hi; ++f) {
        const double v = x[sb * length + f] / envelope[f];
        sum += v * v;
      }
      const double rms = std::sqrt(sum / (hi - lo));
      double level = -8.0;
      if (decodedGains[sb] > 0.0f && rms > 0.0) level = std::log2(rms / decodedGains[sb]);
      targets[band] = static_cast<float>(std::clamp(level, -8.0, 8.0));
    }
    int32_t* indices = forwardIndices + sb * b.forwardBands;
    float bestError = 0.0f;
    int32_t bestIndices[kMaxForwardBands];
    for (int factor = 0; factor < kPredictorFactors; ++factor) {
      int32_t trial[kMaxForwardBands];
      float error = 0.0f;
      for (int band = 0; band < b.forwardBands; ++band) {
        const float predicted = PredictorFactor(factor) * PredictBand(state, band, b.forwardBands);
        const float q = (targets[band] - predicted) / step + 0.5f * (levels - 1);
        trial[band] = std::clamp(static_cast<int>(std::lround(std::clamp(q, 0.0f, float(levels - 1)))), 0, levels - 1);
        const float decoded = std::clamp(predicted + ForwardLevel(trial[band], b.forwardBits), -8.0f, 8.0f);
        error += (targets[band] - decoded) * (targets[band] - decoded);
      }
      if (factor == 0 || error < bestError) {
        bestError = error;
        arIndices[sb] = factor;
        std::copy(trial, trial + b.forwardBands, bestIndices);
      }
    }
    std::copy(bestIndices, bestIndices + b.forwardBands, indices);
    float decodedLevels[kMaxForwardBands];
    DecodeForward(b, arIndices[sb], indices, state, decodedLevels);
  }
  // The scales exactly as the decoder forms them.
  DecodeScales(m, b, lspIndices, powerIndices, arIndices, forwardIndices, state_[ch], scales_[ch].data());
  for (int i = 0; i < m.frameSize; ++i) {
    const float scale = scales_[ch][i];
    const bool coded = scale > 1e-30f;
    residual_[ch][i] = coded ? x[i] / scale : 0.0f;
    weights_[ch][i] = coded ? std::pow(scale, kWeightPower) : 0.0f;
  }
}

void Encoder::ChoosePeaks(VqfFrameIndex* index) {
  const ModeLayout& m = tables_.layout;
  const int c = m.channels, f = m.frameSize, harmonics = m.pitchHarmonics;
  const int spacings = 1 << m.indexPitchBits;
  float target[kMaxChannels * 64] = {}, weight[kMaxChannels * 64] = {};
  bool any = false;
  for (int ch = 0; ch < c; ++ch) {
    index->indexPitch[ch] = 0;
    index->indexPgain[ch] = 0;
    const float* r = residual_[ch].data();
    const float* w = weights_[ch].data();
    double mean = 0.0;
    for (int i = 0; i < f; ++i) mean += double{w[i]} * r[i] * r[i];
    mean /= f;
    double bestScore = 0.0;
    int best = 0;
    for (int q = 0; q < spacings; ++q) {
      const double spacing = PitchSpacing(m, q);
      double score = 0.0;
      for (int h = 1; h <= harmonics; ++h) {
        const int bin = HarmonicBin(spacing, h, f);
        if (bin < 0) break;
        score += double{w[bin]} * r[bin] * r[bin];
      }
      if (score > bestScore) {
        bestScore = score;
        best = q;
      }
    }
    if (!(bestScore > kPeakAdvantage * harmonics * mean)) continue;
    const double spacing = PitchSpacing(m, best);
    double sum = 0.0;
    int count = 0;
    for (int h = 1; h <= harmonics; ++h) {
      const int bin = HarmonicBin(spacing, h, f);
      if (bin < 0) break;
      sum += double{r[bin]} * r[bin];
      ++count;
    }
    const double gain = std::sqrt(sum / std::max(count, 1));
    const int gainIndex = std::clamp(static_cast<int>(std::lround((std::log2(gain) + 1.0) / 0.4)) + 1, 1, 15);
    const float g = PitchGain(gainIndex);
    index->indexPitch[ch] = best;
    index->indexPgain[ch] = gainIndex;
    any = true;
    for (int h = 0; h < count; ++h) {
      const int bin = HarmonicBin(spacing, h + 1, f);
      target[h * c + ch] = r[bin] / g;
      weight[h * c + ch] = w[bin] * g * g;
    }
  }
  int32_t* codebook = fields_.codebookPitch.data();
  const int p = m.pitchDivisions;
  if (!any) {
    std::fill(codebook, codebook + 2 * p, 0);
    return;
  }
  for (int d = 0; d < p; ++d) {
    const int n = PitchDivisionLength(m, d);
    float t[kMaxVectorLength], w[kMaxVectorLength];
    for (int k = 0; k < n; ++k) {
      t[k] = target[d + k * p];
      w[k] = weight[d + k * p];
    }
    SearchPair(t, w, n, tables_.codebooks.Get(0, m.pitch0Bits[d]), tables_.codebooks.Get(1, m.pitch1Bits[d]),
               candidates_, scratch_, &codebook[d], &codebook[p + d]);
  }
  DecodePitchVector(tables_, codebook, pitchVector_.data());
  // The gain that fits the chosen vector best, then the peaks leave the
  // residual that the shape vectors code.
  for (int ch = 0; ch < c; ++ch) {
    if (index->indexPgain[ch] == 0) continue;
    const double spacing = PitchSpacing(m, index->indexPitch[ch]);
    double num = 0.0, den = 0.0;
    for (int h = 1; h <= harmonics; ++h) {
      const int bin = HarmonicBin(spacing, h, f);
      if (bin < 0) break;
      const double v = pitchVector_[(h - 1) * c + ch];
      num += weights_[ch][bin] * residual_[ch][bin] * v;
      den += weights_[ch][bin] * v * v;
    }
    int gainIndex = 0;
    if (num > 0.0 && den > 0.0) {
      gainIndex = std::clamp(static_cast<int>(std::lround((std::log2(num / den) + 1.0) / 0.4)) + 1, 1, 15);
    }
    index->indexPgain[ch] = gainIndex;
    if (gainIndex == 0) index->indexPitch[ch] = 0;
    std::fill(decoded_[ch].begin(), decoded_[ch].end(), 0.0f);
    AddPeaks(m, index->indexPitch[ch], gainIndex, pitchVector_.data(), ch, decoded_[ch].data());
    for (int i = 0; i < f; ++i) residual_[ch][i] -= decoded_[ch][i];
  }
}

void Encoder::ChooseShapes(VqfFrameIndex* index, const BlockLayout& b) {
  const ModeLayout& m = tables_.layout;
  const int c = m.channels, s = b.subBlocks, d = b.divisions;
  int32_t* shape = fields_.shape.data();
  for (int i = 0; i < d; ++i) {
    const int n = ShapeDivisionLength(m, b, i);
    float t[kMaxVectorLength], w[kMaxVectorLength];
    for (int k = 0; k < n; ++k) {
      const int p = i + k * d;
      const int sb = p % s, ch = (p / s) % c, f = p / (s * c);
      t[k] = residual_[ch][sb * b.length + f];
      w[k] = weights_[ch][sb * b.length + f];
    }
    SearchPair(t, w, n, tables_.codebooks.Get(0, b.shape0Bits[i]), tables_.codebooks.Get(1, b.shape1Bits[i]),
               candidates_, scratch_, &shape[i], &shape[d + i]);
  }
  float* decoded[kMaxChannels] = {decoded_[0].data(), decoded_[1].data()};
  DecodeShapes(tables_, b, shape, decoded);
  if (b.hasPitch) {
    for (int ch = 0; ch < c; ++ch) {
      AddPeaks(m, index->indexPitch[ch], index->indexPgain[ch], pitchVector_.data(), ch, decoded[ch]);
    }
  }
}

void Encoder::RefineGains(const BlockLayout& b) {
  const ModeLayout& m = tables_.layout;
  const int top = (1 << m.powerBits) - 1;
  for (int ch = 0; ch < m.channels; ++ch) {
    int32_t& main = fields_.power[ch * (b.subPowers + 1)];
    if (main == 0) continue;
    double num = 0.0, den = 0.0;
    for (int i = 0; i < m.frameSize; ++i) {
      const double y = double{decoded_[ch][i]} * scales_[ch][i];
      num += coefficients_[ch][i] * y;
      den += y * y;
    }
    if (!(num > 0.0 && den > 0.0)) continue;
    const double steps = std::log2(num / den) / PowerStep(m);
    main = std::clamp(main + static_cast<int>(std::lround(std::clamp(steps, -64.0, 64.0))), 1, top);
  }
}

void Encoder::EncodeFrame(const float* in, VqfFrameIndex* index) {
  const ModeLayout& m = tables_.layout;
  const int c = m.channels, f = m.frameSize;
  for (int ch = 0; ch < c; ++ch) {
    float* h = history_[ch].data();
    std::copy(h + f, h + 3 * f, h);
    for (int i = 0; i < f; ++i) h[2 * f + i] = Sanitised(in[ch * f + i]);
  }
  const int next = NextBlockType();
  index->windowType = WindowTypeBetween(previousType_, currentType_, next);
  index->blockType = currentType_;
  WindowShape shape;
  (void)DecodeWindowType(index->windowType, &shape);
  const BlockLayout& b = m.blocks[currentType_];
  for (int ch = 0; ch < c; ++ch) transform_.Analyse(history_[ch].data(), shape, coefficients_[ch].data());
  if (c == 2) ChooseBalance(b);
  for (int ch = 0; ch < c; ++ch) ChooseEnvelope(b, ch);
  if (b.hasPitch) {
    ChoosePeaks(index);
  } else {
    index->indexPitch[0] = index->indexPitch[1] = 0;
    index->indexPgain[0] = index->indexPgain[1] = 0;
  }
  ChooseShapes(index, b);
  RefineGains(b);
  previousType_ = currentType_;
  currentType_ = next;
}

}  // namespace tvq
