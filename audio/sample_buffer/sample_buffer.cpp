// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio/sample_buffer/sample_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

template <typename T>
int64_t ReadFromStore(AudioStream& stream, int16_t* buffer, int64_t count) {
  auto* store = dynamic_cast<SampleStore<T>*>(stream.codecdata.get());
  if (store == nullptr || count <= 0 || store->cursor >= store->count) return 0;
  int64_t k = std::min<int64_t>(count, store->count - store->cursor);
  const T* from = store->samples.get() + store->cursor;
  if constexpr (std::is_same_v<T, int16_t>) {
    std::memcpy(buffer, from, static_cast<size_t>(k) * sizeof(T));
  } else {
    for (int64_t i = 0; i < k; ++i) buffer[i] = FloatToShortSample(from[i]);
  }
  store->cursor += static_cast<int32_t>(k);
  return k;
}

template <typename T>
int64_t WriteToStore(AudioStream& stream, const int16_t* buffer, int64_t count) {
  auto* store = dynamic_cast<SampleStore<T>*>(stream.codecdata.get());
  if (store == nullptr || count <= 0) return 0;
  int64_t needed = int64_t{store->cursor} + count;
  if (needed > kSampleStoreMax) return kErrorMemory;
  if (needed > store->capacity) {
    // Geometric growth keeps a long run of small writes linear in time.
    int64_t grown = std::min(std::max(needed, store->capacity * 2), kSampleStoreMax);
    if (!ReserveSamples(*store, grown) && !ReserveSamples(*store, needed)) return kErrorMemory;
  }
  PrepareSamples(*store, needed);
  T* to = store->samples.get() + store->cursor;
  if constexpr (std::is_same_v<T, int16_t>) {
    std::memcpy(to, buffer, static_cast<size_t>(count) * sizeof(T));
  } else {
    for (int64_t i = 0; i < count; ++i) to[i] = static_cast<T>(buffer[i]);
  }
  store->cursor = static_cast<int32_t>(needed);
  store->count = std::max(store->count, store->cursor);
  stream.info.samples = stream.info.channels != 0
                            ? static_cast<uint32_t>(store->count) / stream.info.channels
                            : 0;
  return count;
}

constexpr size_t kPageBytes = 4096;

size_t RoundUpToPage(size_t bytes) { return (bytes + kPageBytes - 1) & ~(kPageBytes - 1); }

// Gives the store room for exactly `elements` (more or fewer than now).
// The first array is, where the system allows, a reservation of address
// space for the largest store, backed by memory only as pages are used: the
// array then never moves as it grows, which spares copying and remapping
// a whole decoded stream. Elsewhere the array is a malloc block.
template <typename T>
bool Reallocate(SampleStore<T>& store, int64_t elements) {
  const size_t bytes = static_cast<size_t>(elements) * sizeof(T);
  SampleMemory& memory = store.samples.get_deleter();
  if (store.samples == nullptr) {
    const size_t reserve = RoundUpToPage(static_cast<size_t>(kSampleStoreMax) * sizeof(T));
    void* data = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
    if (data != MAP_FAILED) {
#ifdef MADV_HUGEPAGE
      // Large pages make the first touch of a long stream far cheaper.
      (void)::madvise(data, reserve, MADV_HUGEPAGE);
#endif
      store.samples = std::unique_ptr<T[], SampleMemory>(static_cast<T*>(data), SampleMemory{reserve});
      store.capacity = elements;
      return true;
    }
  } else if (memory.reservedBytes != 0) {
    const size_t keep = RoundUpToPage(bytes);
    if (keep > memory.reservedBytes) return false;
    if (elements < store.capacity) {
      // Shrinking: hand back the pages and the address space past the end.
      if (::munmap(reinterpret_cast<char*>(store.samples.get()) + keep, memory.reservedBytes - keep) != 0) {
        return false;
      }
      memory.reservedBytes = keep;
    }
    store.capacity = elements;
    store.prepared = std::min(store.prepared, elements);
    return true;
  }
  void* grown = std::realloc(store.samples.get(), bytes);
  if (grown == nullptr) return false;
  (void)store.samples.release();
  store.samples.reset(static_cast<T*>(grown));
  store.capacity = elements;
  store.prepared = std::min(store.prepared, elements);
  return true;
}

}  // namespace

void SampleMemory::operator()(void* data) const {
  if (reservedBytes != 0) {
    ::munmap(data, reservedBytes);
  } else {
    std::free(data);
  }
}

template <typename T>
bool ReserveSamples(SampleStore<T>& store, int64_t elements) {
  if (elements <= store.capacity) return true;
  if (elements > kSampleStoreMax) return false;
  return Reallocate(store, elements);
}

template <typename T>
void PrepareSamples(SampleStore<T>& store, int64_t end) {
  if (end <= store.prepared) return;
  // Ahead of the writer in steps, so most pages are ready before first use.
  constexpr int64_t kStepBytes = int64_t{1} << 20;
  int64_t upTo = std::min(store.capacity, end + kStepBytes / static_cast<int64_t>(sizeof(T)));
#ifdef MADV_POPULATE_WRITE
  auto begin = reinterpret_cast<uintptr_t>(store.samples.get() + store.prepared) & ~(kPageBytes - 1);
  auto stop = reinterpret_cast<uintptr_t>(store.samples.get() + upTo) & ~(kPageBytes - 1);
  if (stop > begin) (void)::madvise(reinterpret_cast<void*>(begin), stop - begin, MADV_POPULATE_WRITE);
#endif
  store.prepared = upTo;
}

template <typename T>
bool ShrinkSamples(SampleStore<T>& store) {
  if (store.count >= store.capacity) return true;
  if (store.count == 0) {
    store.samples.reset();
    store.capacity = 0;
    return true;
  }
  return Reallocate(store, store.count);
}

template bool ReserveSamples(SampleStore<int16_t>&, int64_t);
template bool ReserveSamples(SampleStore<float>&, int64_t);
template bool ShrinkSamples(SampleStore<int16_t>&);
template void PrepareSamples(SampleStore<int16_t>&, int64_t);
template void PrepareSamples(SampleStore<float>&, int64_t);
template bool ShrinkSamples(SampleStore<float>&);

int16_t FloatToShortSample(float value) {
  if (value >= 32767.0f) return 32767;
  if (value <= -32768.0f) return -32768;
  if (value != value) return 0;
  return static_cast<int16_t>(value);
}

int64_t SampleBufferReadShort(AudioStream& stream, int16_t* buffer, int64_t count) {
  return ReadFromStore<int16_t>(stream, buffer, count);
}
int64_t FloatSampleBufferReadShort(AudioStream& stream, int16_t* buffer, int64_t count) {
  return ReadFromStore<float>(stream, buffer, count);
}
int64_t SampleBufferWriteShort(AudioStream& stream, const int16_t* buffer, int64_t count) {
  return WriteToStore<int16_t>(stream, buffer, count);
}
int64_t FloatSampleBufferWriteShort(AudioStream& stream, const int16_t* buffer, int64_t count) {
  return WriteToStore<float>(stream, buffer, count);
}

int CollectSamplesForWriting(AudioStream& stream, StreamCloseFn close) {
  std::unique_ptr<SampleBuffer> store(new (std::nothrow) SampleBuffer);
  if (store == nullptr) return kErrorMemory;
  stream.codecdata = std::move(store);
  stream.blockwidth = 2 * static_cast<int>(stream.info.channels);
  stream.info.pcmbitwidth = 16;
  stream.info.samples = 0;
  stream.bytewidth = 2;
  stream.writeShort = SampleBufferWriteShort;
  stream.close = close;
  return 0;
}

int CloseSampleBufferStream(AudioStream& stream, int (*encode)(AudioStream& stream, const SampleBuffer& store)) {
  int result = 0;
  if (stream.mode == kStreamModeWrite) {
    if (auto* store = dynamic_cast<SampleBuffer*>(stream.codecdata.get())) result = encode(stream, *store);
  }
  stream.codecdata.reset();
  return result;
}
