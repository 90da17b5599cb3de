// SPDX-License-Identifier: GPL-2.0-or-later
// Pieces of the conversion to the stored description, shared with its tests.
#pragma once

#include <cstdint>

// Samples in the frame scratch: the most channels a frame remap handles.
inline constexpr int kFrameScratch = 6;

// Remaps one frame in place from `from` to `to` channels (both 1 ... 6):
// mono is copied to every channel, channels are averaged down (signed sums
// divided with truncation toward zero), stereo widened to 4 or more gets the
// front pair crossed over as its rear pair. Pairs without a rule (equal
// counts, 3 on either side) leave the frame as it is.
void MapChannels(int from, int to, int16_t frame[kFrameScratch]);

// The 16-bit sample for a converter output value: truncated toward zero,
// clipped to -32768 ... 32767, 0 for NaN.
[[nodiscard]] inline int16_t SampleFromFloat(float v) {
  // Written as selects rather than early returns so that a loop over a
  // block of values compiles to vector instructions.
  v = v == v ? v : 0.0f;  // NaN
  v = v > 32767.0f ? 32767.0f : v;
  v = v < -32768.0f ? -32768.0f : v;
  return static_cast<int16_t>(static_cast<int>(v));
}
