// SPDX-License-Identifier: GPL-2.0-or-later
// What the encoder and the decoder of a mode share: the storage that a frame
// index points to, and the rules that turn index values into the spectrum's
// scales, the stereo rotation, the periodic peaks and the shape vectors. The
// encoder runs the same rules on the values it chose, so both sides keep the
// same predictor state.
//
// A frame codes, per channel, MDCT coefficients X = r * scale, where
//   scale[sb][f] = gain[sb] * lpc envelope[f] * 2^level[sb][band of f]:
// the LSP indices give the envelope, the power and sub-power indices the
// gains of the sub-blocks, the forward indices the levels of the Bark bands
// (predicted from the previous ones with the factor the forward AR index
// picks). r is the sum of the shape vectors (both channels interleaved into
// the shape divisions) and, in long blocks, of peaks at the multiples of a
// pitch spacing. Stereo frames code two rotations of the channels: each
// Bark band of each sub-block has its own angle (the balance indices).
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/twinvq/tvq_layout.h"
#include "codecs/twinvq/tvq_transform.h"
#include "codecs/twinvq/tvq_vq.h"

namespace tvq {

// The arrays a VqfFrameIndex points to, sized for the largest block type.
struct FrameFields {
  std::vector<int32_t> shape, forwardShort, forwardAr, power, codebookPitch;
  std::vector<int32_t> lsp[kMaxChannels], balance[kMaxChannels];
  explicit FrameFields(const ModeLayout& layout);
  // Points `index` at these arrays and clears its values.
  void Bind(VqfFrameIndex* index);
};
// Clears `index`, its pointers included.
void UnbindFrameIndex(VqfFrameIndex* index);

// Index values are used through their width: value & (2^bits - 1).
inline int Masked(int32_t value, int bits) {
  return static_cast<int>(static_cast<uint32_t>(value) & ((1u << bits) - 1u));
}

// Gain levels of the power index: 0 is silence.
float PowerLevel(const ModeLayout& layout, int index);
// The power index nearest (in the logarithm) to `gain`; 0 below the lowest level.
int NearestPower(const ModeLayout& layout, double gain);
// log2 of the ratio of two neighbouring power levels.
double PowerStep(const ModeLayout& layout);
// Sub-block gains from a channel's power indices (main, then sub-powers).
void DecodeGains(const ModeLayout& layout, const BlockLayout& block, const int32_t* power, float* gains);
// Attenuation of one sub-power step, as a log2 ratio.
inline constexpr double kSubPowerStep = 1.0;

// Forward envelope: levels of the Bark bands as log2 ratios.
inline constexpr int kPredictorFactors = 4;
float PredictorFactor(int index);
float ForwardStep(int bits);
float ForwardLevel(int index, int bits);
// The prediction of band b of `bands` from a channel's predictor state.
float PredictBand(const float* state, int b, int bands);
// Decodes the levels of one sub-block's bands and stores them in the state.
void DecodeForward(const BlockLayout& block, int arIndex, const int32_t* indices, float* state, float* levels);

// Stereo rotation angle of a balance index; the index of an angle.
double BalanceAngle(int index, int bits);
int NearestBalance(double angle, int bits);
// Rotates the two channels' coefficients of one sub-block by the angles of
// their bands: forward (encoder, to the coded pair) or back (decoder).
void RotateChannels(const BlockLayout& block, const int32_t* const balance[kMaxChannels], int sb, bool back,
                    float* left, float* right);

// Periodic peaks: spacing (bins) of a pitch index, gain of a pitch gain index
// (0: no peaks), the bin of harmonic m (from 1), or -1 when past the end.
double PitchSpacing(const ModeLayout& layout, int index);
float PitchGain(int index);
int HarmonicBin(double spacing, int m, int length);
// Values in pitch division d; values in shape division d of a block type.
int PitchDivisionLength(const ModeLayout& layout, int d);
int ShapeDivisionLength(const ModeLayout& layout, const BlockLayout& block, int d);

// The shared decoding tables of a mode.
struct ModeTables {
  ModeLayout layout;
  CodebookSet codebooks;
  explicit ModeTables(const ModeLayout& l) : layout(l) {}
};

// Decodes the shape vectors of a frame into r[ch][sb * L + f].
void DecodeShapes(const ModeTables& tables, const BlockLayout& block, const int32_t* shape,
                  float* const residual[kMaxChannels]);
// The decoded pitch vector (channels x harmonics, harmonic-major) of a frame.
void DecodePitchVector(const ModeTables& tables, const int32_t* codebookPitch, float* vector);
// Adds the periodic peaks of one channel to its residual.
void AddPeaks(const ModeLayout& layout, int pitchIndex, int gainIndex, const float* vector, int ch,
              float* residual);

// The scales of one channel's coefficients and the envelope they came from,
// from its LSP, power and forward indices (the forward state moves on).
void DecodeScales(const ModeLayout& layout, const BlockLayout& block, const int32_t* lsp, const int32_t* power,
                  const int32_t* forwardAr, const int32_t* forwardShort, float* state, float* scales);

}  // namespace tvq
