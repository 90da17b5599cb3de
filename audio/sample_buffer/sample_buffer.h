// SPDX-License-Identifier: GPL-2.0-or-later
// The memory sample buffer of the codec-format streams.
//
// Ogg Vorbis, AAC and VQF streams never decode or encode piece by piece: an
// open for reading decodes the whole stream into a store, an open for writing
// collects every sample in one and the close encodes them. The store is the
// stream's codecdata; the read and write functions below are placed in the
// stream's readShort and writeShort slots. Samples are interleaved: all
// channels of frame 0, then frame 1, and so on.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>

#include "audio/stream/stream_module.h"

// Releases a store's array: an address-space reservation when reservedBytes
// is not 0, else a block from malloc.
struct SampleMemory {
  size_t reservedBytes = 0;
  void operator()(void* data) const;
};

// Most samples a store holds (its counts are 32-bit signed).
inline constexpr int64_t kSampleStoreMax = INT32_MAX;

// A store of 16-bit (Ogg Vorbis, AAC) or float (VQF) samples.
template <typename T>
struct SampleStore : CodecState {
  int32_t cursor = 0;  // next sample to read (reading) or to write (writing)
  int32_t count = 0;   // samples held
  // The array: room for `capacity` elements, the first `count` in use.
  std::unique_ptr<T[], SampleMemory> samples;
  int64_t capacity = 0;
  int64_t prepared = 0;  // elements PrepareSamples has made ready
};
using SampleBuffer = SampleStore<int16_t>;
using FloatSampleBuffer = SampleStore<float>;

// Makes room for at least `elements` samples, keeping those held. Returns
// false, with the store unchanged, when `elements` exceeds kSampleStoreMax
// or memory is refused.
template <typename T>
[[nodiscard]] bool ReserveSamples(SampleStore<T>& store, int64_t elements);

// Asks the system to back the elements before `end` (and some beyond, within
// the capacity) with memory in one go, instead of one page fault per page as
// the writer first touches them. A hint only: nothing changes if refused.
// REQUIRES: end <= capacity.
template <typename T>
void PrepareSamples(SampleStore<T>& store, int64_t end);

// Releases the capacity beyond `count`. Returns false when memory is refused
// (the store stays usable as it was).
template <typename T>
[[nodiscard]] bool ShrinkSamples(SampleStore<T>& store);

// A float sample as a 16-bit one: truncated toward zero after clipping to
// -32768..32767; NaN gives 0.
[[nodiscard]] int16_t FloatToShortSample(float value);

// readShort slots. Deliver up to `count` samples from the store in
// stream.codecdata, starting at its cursor, and return how many (0 once the
// store is drained, or when codecdata is not a store of that type).
int64_t SampleBufferReadShort(AudioStream& stream, int16_t* buffer, int64_t count);
int64_t FloatSampleBufferReadShort(AudioStream& stream, int16_t* buffer, int64_t count);

// writeShort slots. Append `count` samples to the store and set
// stream.info.samples to the frames held. Return `count`, or 8 (the memory
// error number) in place of a count when the store cannot grow; nothing is
// stored then.
int64_t SampleBufferWriteShort(AudioStream& stream, const int16_t* buffer, int64_t count);
int64_t FloatSampleBufferWriteShort(AudioStream& stream, const int16_t* buffer, int64_t count);

// Begins a 16-bit codec-format stream opened for writing: an empty store as
// codecdata, 16-bit samples in the layout fields (stream.info.samples 0),
// SampleBufferWriteShort and `close` in the slots. Returns 0, or 8 when
// memory is refused.
[[nodiscard]] int CollectSamplesForWriting(AudioStream& stream, StreamCloseFn close);

// The close of a 16-bit codec-format stream: for a stream being written,
// hands the store to `encode` and returns what it returns; then releases
// the store. Returns 0 when the stream holds none.
int CloseSampleBufferStream(AudioStream& stream, int (*encode)(AudioStream& stream, const SampleBuffer& store));
