// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio/aac/aac_input.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Zeros after the window's bytes in the buffer: more than faad2 reads ahead
// (its FAAD_MIN_STREAMSIZE is 768 bytes a channel).
constexpr size_t kSlackBytes = 6144;

}  // namespace

bool OpenAacInput(AacInput& input, platform::File& file, int64_t start, int64_t size) {
  input.file = &file;
  input.start = start;
  input.size = size;
  input.bufferAt = 0;
  input.filled = 0;
  input.buffer.reset(new (std::nothrow) uint8_t[kAacInputBytes + kSlackBytes]());
  return input.buffer != nullptr;
}

bool FillAacInput(AacInput& input, int64_t at, size_t want) {
  const int64_t end = input.bufferAt + static_cast<int64_t>(input.filled);
  const int64_t needed = std::clamp<int64_t>(input.size - at, 0, static_cast<int64_t>(want));
  if (at >= input.bufferAt && at + needed <= end) return true;
  // Keep what the buffer holds from `at`, read the rest.
  size_t kept = 0;
  if (at >= input.bufferAt && at < end) {
    kept = static_cast<size_t>(end - at);
    std::memmove(input.buffer.get(), AacInputAt(input, at), kept);
  }
  const auto more = static_cast<size_t>(
      std::min<int64_t>(static_cast<int64_t>(kAacInputBytes - kept), input.size - at - static_cast<int64_t>(kept)));
  input.bufferAt = at;
  input.filled = kept;
  if (more > 0 && !platform::ReadFileAt(*input.file, input.start + at + static_cast<int64_t>(kept),
                                        input.buffer.get() + kept, more)) {
    input.filled = 0;
    return false;
  }
  input.filled = kept + more;
  std::memset(input.buffer.get() + input.filled, 0, kSlackBytes);
  return true;
}
