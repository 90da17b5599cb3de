// Conversion of decoded samples to a stored stream description.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/stream/audio_info.h"

// Brings interleaved 16-bit samples that decode `decoded` to the bit-width
// scale, sample rate and channel count of `stored`. The frame count used is
// decoded.samples, which the caller has set to stored.samples.
// REQUIRES: samples.size() >= decoded.channels * decoded.samples; the samples
// beyond the decoded ones are zero (they feed the rate step at the end).
// On success the first stored.channels * stored.samples values of `samples`
// are the converted samples (the vector is replaced by a new one when the
// rate or the channel count changes) and 1 is returned. Returns 0 when the
// rate converter cannot be set up or memory cannot be had.
[[nodiscard]] int ConvertToStoredInfo(const AudioInfo& decoded, const AudioInfo& stored,
                                      std::vector<int16_t>& samples);
