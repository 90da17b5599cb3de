// SPDX-License-Identifier: GPL-2.0-or-later
// The bytes of an AAC stream's window, read through a buffer of bounded
// size: the header probe and the decoder see them a piece at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

// Bytes the buffer holds at most (a read fills it whole where the window
// allows), and the most a caller may ask to see at once.
inline constexpr size_t kAacInputBytes = 256 * 1024;
inline constexpr size_t kAacInputMostAsked = kAacInputBytes / 2;

struct AacInput {
  platform::File* file = nullptr;
  int64_t start = 0;  // file position of the window's first byte
  int64_t size = 0;   // bytes of the window
  // Window bytes from bufferAt, then zeros: a decoder that reads ahead of
  // the byte count it was given finds these, never the file's next bytes.
  std::unique_ptr<uint8_t[]> buffer;
  int64_t bufferAt = 0;  // window offset of buffer[0]
  size_t filled = 0;     // window bytes in the buffer
};

// Sets `input` up over the window of `size` bytes at file position `start`
// (which the caller has checked lies within the file); reads nothing yet.
// False when memory is refused.
[[nodiscard]] bool OpenAacInput(AacInput& input, platform::File& file, int64_t start, int64_t size);

// Makes the window's bytes from offset `at` available in the buffer, at
// least `want` of them (REQUIRES: want <= kAacInputMostAsked) or all that
// the window holds from there; moving on, it keeps what it holds from `at`
// and refills the rest of the buffer. False when the file cannot be read
// (errno then says why); the buffer then holds nothing.
[[nodiscard]] bool FillAacInput(AacInput& input, int64_t at, size_t want);

// The buffered bytes from window offset `at`, and how many of them there
// are. REQUIRES: FillAacInput succeeded for `at` (or an offset before it
// whose buffered bytes reach `at`).
inline const uint8_t* AacInputAt(const AacInput& input, int64_t at) {
  return input.buffer.get() + (at - input.bufferAt);
}
inline size_t AacInputAvailable(const AacInput& input, int64_t at) {
  return static_cast<size_t>(input.bufferAt + static_cast<int64_t>(input.filled) - at);
}
