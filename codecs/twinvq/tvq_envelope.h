// SPDX-License-Identifier: GPL-2.0-or-later
// The spectral envelope: a linear-prediction fit of a block's power spectrum,
// carried as line spectral pairs (LSPs) and quantised into the LSP indices.
//
// LSPs are frequencies in (0, pi), strictly rising; any such set describes a
// stable all-pole envelope, so the decoder accepts every index value.
#pragma once

#include <cstdint>

#include "codecs/twinvq/tvq_layout.h"

namespace tvq {

// Linear prediction coefficients lpc[0..order] (lpc[0] = 1) fitted to the
// power spectrum power[f], f < length, sampled at pi (f + 1/2) / length.
// Returns false when the spectrum holds no energy.
// REQUIRES: order <= kMaxLspOrder, even.
[[nodiscard]] bool LpcFromPower(const float* power, int length, int order, double* lpc);

// The LSPs of a minimum-phase lpc[0..order] (order even), rising, in (0, pi).
// Returns false when the roots cannot all be separated.
[[nodiscard]] bool LpcToLsp(const double* lpc, int order, double* lsp);

// An evenly spread set of `order` LSPs: the envelope of a flat spectrum.
void FlatLsp(int order, double* lsp);

// Quantises `lsp` (the mode's order) into the 2 + (order - 2) LSP indices:
// index 0 the lowest frequency, index 1 the distance of the highest from pi,
// then each further frequency as its step from the one below, relative to
// the mean step left. Each step is taken from the reconstructed frequencies,
// so errors do not add up.
void QuantiseLsp(const ModeLayout& layout, const double* lsp, int32_t* indices);

// The LSPs that indices give (every value is masked to its width).
void DecodeLsp(const ModeLayout& layout, const int32_t* indices, double* lsp);

// The amplitude envelope 1/|A| of the LSPs at the `length` bin centres,
// scaled to a mean square of 1 and bounded to [2^-20, 2^10].
void LspEnvelope(const double* lsp, int order, int length, float* envelope);

}  // namespace tvq
