// Conversion of decoded samples to a stored stream description.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/stream/audio_info.h"

// Brings interleaved 16-bit samples that decode `decoded` to the bit-width
// scale, sample rate and channel count of `stored`, and returns 1.
//
// The frame count is decoded.samples, which the caller has set to
// stored.samples. REQUIRES: samples.size() >= decoded.channels *
// decoded.samples; the buffer has room for the larger of the decoded and the
// stored frame counts, zero beyond the decoded samples. Every sample it holds
// feeds the rate step, which is fed zeros after them.
//
// When bit width, channel count and sample rate are all equal, nothing is
// touched (not even when the frame counts differ). Otherwise, on success,
// `samples` holds exactly stored.channels * decoded.samples values; it is a
// new vector when the rate or the channel count changed. A different rate
// converts at the true ratio stored / decoded rate: output frame j lies at
// decoded time j / ratio. Channel maps follow the fixed table for 1, 2, 4, 5
// and 6 channels; other pairs keep channel c where the source has one and
// leave the rest silent.
//
// Returns 0, with `samples` unchanged, when a channel count is 0 or above
// 256, a rate that must change is 0, the buffer is shorter than required, or
// the converted buffer would exceed 2^31 samples. Returns 0 too when the rate
// converter cannot be set up (a stored rate below about 1.4 % or above about
// 4600 times the decoded one) or memory runs out; then samples of a decoded
// width below 16 have already been widened to the 16-bit scale.
[[nodiscard]] int ConvertToStoredInfo(const AudioInfo& decoded, const AudioInfo& stored,
                                      std::vector<int16_t>& samples);

// Makes room for `count` samples in `samples` without touching them, so that
// growing up to `count` never reallocates. A large buffer is backed by huge
// pages where the system allows (a hint): filling hundreds of megabytes of
// fresh memory then costs one page fault per 2 MiB instead of per 4 KiB.
// Returns false, with `samples` unchanged, when memory cannot be had.
[[nodiscard]] bool ReserveSamples(std::vector<int16_t>& samples, uint64_t count);
