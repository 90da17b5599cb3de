// SPDX-License-Identifier: GPL-2.0-or-later
// Conversion of decoded samples to a stored stream description, block by
// block: memory stays bounded whatever the length of the stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "audio/stream/audio_info.h"

// Where a conversion takes its decoded samples: fills `buffer` with the next
// `count` samples (a whole number of decoded frames), zeros past the end of
// the stream, and returns false to stop the conversion (a read that failed).
using SampleReader = std::function<bool(int16_t* buffer, int64_t count)>;

struct SampleConversion;
struct SampleConversionDeleter {
  void operator()(SampleConversion* conversion) const;
};
using SampleConversionPtr = std::unique_ptr<SampleConversion, SampleConversionDeleter>;

// Most samples one block of converted samples holds (or one frame, when a
// frame holds more).
inline constexpr int64_t kConversionBlockSamples = 64 * 1024;

// Sets up the conversion of interleaved 16-bit samples that decode
// `decoded` (its sample rate, bit width and channel count), taken from
// `read`, to `frames` frames of the bit-width scale, sample rate and channel
// count of `stored`.
//
// When bit width, channel count and rate are all equal, the samples pass
// unchanged. Otherwise samples of a decoded width below 16 are widened to the
// 16-bit scale (shifted up); a different rate converts at the true ratio
// stored / decoded rate, output frame j lying at decoded time j / ratio,
// one converter for one or two channels and one per channel above that,
// whose values are truncated toward zero and clipped to 16 bits; a stored
// width below 16 then narrows them (shifted down, rounding toward minus
// infinity); channel maps follow the fixed table for 1, 2, 4, 5 and 6
// channels, and other pairs keep channel c where the source has one and
// leave the rest silent. Without a rate change exactly `frames` frames are
// read; with one, blocks are read until the converter has given `frames`
// frames (the reader's zeros follow the decoded samples).
//
// Returns null when a channel count is 0 or above 256, a rate that must
// change is 0, the rate converter cannot be set up (a stored rate below
// about 1.4 % or above about 4600 times the decoded one), or memory runs
// out. Memory: a few blocks, plus at a rate change the converter's tables
// (about 160 KiB) and 72 KiB for each channel above two.
[[nodiscard]] SampleConversionPtr BeginConversion(const AudioInfo& decoded, const AudioInfo& stored, uint64_t frames,
                                                  SampleReader read);

// The next block of converted samples, whole frames of stored.channels:
// points `samples` at them (valid until the next call) and returns their
// number, at most kConversionBlockSamples (or one frame); 0 once `frames`
// frames have been given; -1 when the reader stopped (no block follows).
[[nodiscard]] int64_t NextConverted(SampleConversion& conversion, const int16_t*& samples);
