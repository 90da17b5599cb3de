#include "audio/sample_buffer/sample_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kErrorMemory = 8;


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

template <typename T>
bool Reallocate(SampleStore<T>& store, int64_t elements) {
  void* grown = std::realloc(store.samples.get(), static_cast<size_t>(elements) * sizeof(T));
  if (grown == nullptr) return false;
  (void)store.samples.release();
  store.samples.reset(static_cast<T*>(grown));
  store.capacity = elements;
  return true;
}

}  // namespace

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
  constexpr uintptr_t kPage = 4096;
  auto begin = reinterpret_cast<uintptr_t>(store.samples.get() + store.prepared) & ~(kPage - 1);
  auto stop = reinterpret_cast<uintptr_t>(store.samples.get() + upTo) & ~(kPage - 1);
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
