// SPDX-License-Identifier: GPL-2.0-or-later
// Index values to scales, rotations, peaks and shape vectors.
#include "codecs/twinvq/tvq_frame.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "codecs/twinvq/tvq_envelope.h"

namespace tvq {
namespace {

constexpr double kPowerLow = -2.0;    // log2 of the lowest power level
constexpr double kPowerRange = 18.0;  // log2 span of the power levels
constexpr float kLevelLimit = 8.0f;   // forward levels stay within +-8 (log2)
constexpr double kPitchLowest = 2.0;  // smallest peak spacing, bins

}  // namespace

FrameFields::FrameFields(const ModeLayout& m) {
  size_t divisions = 0, forward = 0, subBlocks = 0, powers = 0, balance = 1;
  for (const BlockLayout& b : m.blocks) {
    divisions = std::max<size_t>(divisions, b.divisions);
    forward = std::max<size_t>(forward, size_t(b.subBlocks) * b.forwardBands);
    subBlocks = std::max<size_t>(subBlocks, b.subBlocks);
    powers = std::max<size_t>(powers, 1 + size_t(b.subPowers));
    balance = std::max<size_t>(balance, size_t(b.subBlocks) * b.balanceBands);
  }
  const size_t c = m.channels;
  shape.assign(2 * divisions, 0);
  forwardShort.assign(c * forward, 0);
  forwardAr.assign(c * subBlocks, 0);
  power.assign(c * powers, 0);
  codebookPitch.assign(2 * size_t(std::max(m.pitchDivisions, 1)), 0);
  for (int ch = 0; ch < kMaxChannels; ++ch) {
    lsp[ch].assign(m.lspOrder, 0);
    this->balance[ch].assign(balance, 0);
  }
}

void FrameFields::Bind(VqfFrameIndex* index) {
  *index = VqfFrameIndex{};
  index->shape = shape.data();
  index->forwardShort = forwardShort.data();
  index->forwardAr = forwardAr.data();
  index->power = power.data();
  index->codebookPitch = codebookPitch.data();
  for (int ch = 0; ch < kMaxChannels; ++ch) {
    index->lsp[ch] = lsp[ch].data();
    index->indexPb[ch] = balance[ch].data();
  }
}

void UnbindFrameIndex(VqfFrameIndex* index) { *index = VqfFrameIndex{}; }

double PowerStep(const ModeLayout& m) { return kPowerRange / ((1 << m.powerBits) - 2); }

float PowerLevel(const ModeLayout& m, int index) {
  const int q = Masked(index, m.powerBits);
  if (q == 0) return 0.0f;
  return static_cast<float>(std::exp2(kPowerLow + (q - 1) * PowerStep(m)));
}

int NearestPower(const ModeLayout& m, double gain) {
  if (!(gain > std::exp2(kPowerLow - 1.0))) return 0;
  const int top = (1 << m.powerBits) - 1;
  const double q = (std::log2(gain) - kPowerLow) / PowerStep(m) + 1.0;
  if (!(q < top)) return top;
  return std::max(1, static_cast<int>(std::lround(q)));
}

void DecodeGains(const ModeLayout& m, const BlockLayout& b, const int32_t* power, float* gains) {
  const float main = PowerLevel(m, power[0]);
  for (int sb = 0; sb < b.subBlocks; ++sb) {
    gains[sb] = main;
    if (b.subPowers == b.subBlocks && b.subBlocks > 1) {
      gains[sb] = main * static_cast<float>(std::exp2(-kSubPowerStep * Masked(power[1 + sb], m.subPowerBits)));
    }
  }
}

float PredictorFactor(int index) {
  static constexpr float kFactors[kPredictorFactors] = {0.0f, 0.4f, 0.7f, 0.9f};
  return kFactors[Masked(index, 2)];
}

float ForwardStep(int bits) { return bits >= 3 ? 0.5f : bits == 2 ? 0.7f : 1.0f; }

float ForwardLevel(int index, int bits) {
  return (static_cast<float>(Masked(index, bits)) - 0.5f * static_cast<float>((1 << bits) - 1)) * ForwardStep(bits);
}

float PredictBand(const float* state, int b, int bands) {
  const int per = kEnvelopePoints / bands;
  float sum = 0.0f;
  for (int i = b * per; i < (b + 1) * per; ++i) sum += state[i];
  return sum / static_cast<float>(per);
}

void DecodeForward(const BlockLayout& block, int arIndex, const int32_t* indices, float* state, float* levels) {
  const float factor = PredictorFactor(arIndex);
  const int bands = block.forwardBands;
  for (int b = 0; b < bands; ++b) {
    const float level = factor * PredictBand(state, b, bands) + ForwardLevel(indices[b], block.forwardBits);
    levels[b] = std::clamp(level, -kLevelLimit, kLevelLimit);
  }
  const int per = kEnvelopePoints / bands;
  for (int b = 0; b < bands; ++b) std::fill(state + b * per, state + (b + 1) * per, levels[b]);
}

double BalanceAngle(int index, int bits) {
  const int q = Masked(index, bits);
  return -std::numbers::pi / 2 + (q + 1) * std::numbers::pi / (1 << bits);
}

int NearestBalance(double angle, int bits) {
  const int levels = 1 << bits;
  const double q = std::round((angle + std::numbers::pi / 2) * levels / std::numbers::pi) - 1.0;
  if (!(q >= 0.0) || q >= levels) return levels - 1;  // -pi/2 is the angle pi/2
  return static_cast<int>(q);
}

void RotateChannels(const BlockLayout& block, const int32_t* const balance[kMaxChannels], int sb, bool back,
                    float* left, float* right) {
  const int nb = block.balanceBands;
  for (int j = 0; j < 2 * nb; ++j) {
    const double angle = BalanceAngle(balance[j / nb][sb * nb + j % nb], block.balanceBits);
    const float c = static_cast<float>(std::cos(angle));
    const float s = static_cast<float>(back ? -std::sin(angle) : std::sin(angle));
    for (int f = block.balanceEdges[j]; f < block.balanceEdges[j + 1]; ++f) {
      const float l = left[f], r = right[f];
      left[f] = c * l + s * r;
      right[f] = c * r - s * l;
    }
  }
}

double PitchSpacing(const ModeLayout& m, int index) {
  const int q = Masked(index, m.indexPitchBits);
  const double highest = static_cast<double>(m.frameSize - 1) / m.pitchHarmonics;
  return kPitchLowest * std::pow(highest / kPitchLowest, static_cast<double>(q) / ((1 << m.indexPitchBits) - 1));
}

float PitchGain(int index) {
  const int q = Masked(index, 4);
  return q == 0 ? 0.0f : static_cast<float>(std::exp2((q - 1) * 0.4 - 1.0));
}

int HarmonicBin(double spacing, int m, int length) {
  const long bin = std::lround(m * spacing);
  return bin < length ? static_cast<int>(bin) : -1;
}

int PitchDivisionLength(const ModeLayout& m, int d) {
  const int total = m.channels * m.pitchHarmonics;
  return (total - d + m.pitchDivisions - 1) / m.pitchDivisions;
}

int ShapeDivisionLength(const ModeLayout& m, const BlockLayout& b, int d) {
  const int total = m.channels * m.frameSize;
  return (total - d + b.divisions - 1) / b.divisions;
}

void DecodeShapes(const ModeTables& t, const BlockLayout& b, const int32_t* shape, float* const residual[kMaxChannels]) {
  const ModeLayout& m = t.layout;
  const int c = m.channels, s = b.subBlocks, d = b.divisions;
  float values[kMaxVectorLength];
  for (int i = 0; i < d; ++i) {
    const int n = ShapeDivisionLength(m, b, i);
    AddPair(t.codebooks.Get(0, b.shape0Bits[i]), t.codebooks.Get(1, b.shape1Bits[i]), shape[i], shape[d + i], n,
            values);
    // Position p = (f C + ch) S + sb holds coefficient f of sub-block sb of
    // channel ch; division i holds the positions i, i + D, i + 2D, ...
    for (int k = 0; k < n; ++k) {
      const int p = i + k * d;
      const int sb = p % s, ch = (p / s) % c, f = p / (s * c);
      residual[ch][sb * b.length + f] = values[k];
    }
  }
}

void DecodePitchVector(const ModeTables& t, const int32_t* codebookPitch, float* vector) {
  const ModeLayout& m = t.layout;
  const int p = m.pitchDivisions;
  float values[kMaxVectorLength];
  for (int d = 0; d < p; ++d) {
    const int n = PitchDivisionLength(m, d);
    AddPair(t.codebooks.Get(0, m.pitch0Bits[d]), t.codebooks.Get(1, m.pitch1Bits[d]), codebookPitch[d],
            codebookPitch[p + d], n, values);
    for (int k = 0; k < n; ++k) vector[d + k * p] = values[k];
  }
}

void AddPeaks(const ModeLayout& m, int pitchIndex, int gainIndex, const float* vector, int ch, float* residual) {
  const float gain = PitchGain(gainIndex);
  if (gain == 0.0f) return;
  const double spacing = PitchSpacing(m, pitchIndex);
  for (int h = 0; h < m.pitchHarmonics; ++h) {
    const int bin = HarmonicBin(spacing, h + 1, m.frameSize);
    if (bin < 0) break;
    residual[bin] += gain * vector[h * m.channels + ch];
  }
}

void DecodeScales(const ModeLayout& m, const BlockLayout& b, const int32_t* lsp, const int32_t* power,
                  const int32_t* forwardAr, const int32_t* forwardShort, float* state, float* scales) {
  double frequencies[kMaxLspOrder];
  float envelope[kMaxFrameSize];
  float gains[kMaxSubBlocks];
  float levels[kMaxForwardBands];
  DecodeLsp(m, lsp, frequencies);
  LspEnvelope(frequencies, m.lspOrder, b.length, envelope);
  DecodeGains(m, b, power, gains);
  for (int sb = 0; sb < b.subBlocks; ++sb) {
    DecodeForward(b, forwardAr[sb], forwardShort + sb * b.forwardBands, state, levels);
    float* out = scales + sb * b.length;
    for (int band = 0; band < b.forwardBands; ++band) {
      const float g = gains[sb] * std::exp2(levels[band]);
      for (int f = b.bandEdges[band]; f < b.bandEdges[band + 1]; ++f) out[f] = g * envelope[f];
    }
  }
}

}  // namespace tvq
