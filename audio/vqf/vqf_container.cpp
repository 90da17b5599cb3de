// SPDX-License-Identifier: GPL-2.0-or-later
// The VQF container's header, and its codes for rates, bit rates and the
// encoder's settings.
#include "audio/vqf/vqf_container.h"

#include <algorithm>
#include <climits>

namespace {

constexpr int kCommFieldBytes = 16;
// Bytes of the chunks before "DATA" in a written header.
constexpr int kWrittenChunkBytes = 24;
constexpr int kHeaderBytes = 44;

// A chunk id as HeaderRead's "L" yields it and HeaderWrite's "L" writes it:
// the 32-bit value whose big-endian bytes are the four characters.
constexpr int ChunkId(const char (&id)[5]) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint8_t>(id[0])) << 24 |
                          static_cast<uint32_t>(static_cast<uint8_t>(id[1])) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(id[2])) << 8 |
                          static_cast<uint32_t>(static_cast<uint8_t>(id[3])));
}
constexpr int kCommId = ChunkId("COMM");
constexpr int kDataId = ChunkId("DATA");

// Moves the file `bytes` forward (HeaderRead's "j" moves by an int).
void Skip(AudioStream& stream, uint32_t bytes) {
  while (bytes > 0) {
    const int step = static_cast<int>(std::min<uint32_t>(bytes, INT_MAX));
    (void)HeaderRead(stream, "j", step);
    bytes -= static_cast<uint32_t>(step);
  }
}

}  // namespace

int VqfSetUpError(int code) { return code >= 1 && code <= 6 ? kErrorVqfBase + code : kErrorVqfUnspecified; }

int ReadVqfHeader(AudioStream& stream, VqfHeaderInfo& header) {
  const int64_t end = stream.fileoffset + stream.filelength;
  const auto left = [&] { return end - platform::TellFile(*stream.file); };
  int length = 0;
  (void)HeaderRead(stream, "BL", header.id, kVqfIdBytes, &length);
  for (;;) {
    int id = 0;
    int size = 0;
    if (left() < 4) return kErrorVqfUnspecified;
    (void)HeaderRead(stream, "L", &id);
    if (id == kDataId) return 0;
    if (left() < 4) return kErrorVqfUnspecified;
    (void)HeaderRead(stream, "L", &size);
    auto bytes = static_cast<uint32_t>(size);
    if (bytes > left()) return kErrorVqfUnspecified;
    if (id == kCommId) {
      if (bytes < kCommFieldBytes) return kErrorVqfParameter;
      (void)HeaderRead(stream, "LLLL", &header.channelMode, &header.bitRate, &header.samplingRate,
                       &header.reservedWord);
      bytes -= kCommFieldBytes;
    }
    Skip(stream, bytes);
  }
}

int WriteVqfHeader(AudioStream& stream, const VqfHeaderInfo& header) {
  stream.headindex = 0;
  (void)HeaderWrite(stream, "BLLLLLLLL", header.id, kVqfIdBytes, kWrittenChunkBytes, kCommId, kCommFieldBytes,
                    header.channelMode, header.bitRate, header.samplingRate, header.reservedWord, kDataId);
  if (stream.headindex != kHeaderBytes ||
      platform::WriteFile(*stream.file, stream.header, kHeaderBytes) != kHeaderBytes) {
    return kErrorShortWrite;
  }
  return 0;
}

// A mode's rate for its code (11 reads as 11025 Hz), else the code times 1000.
uint32_t VqfSampleRate(int32_t kilohertz) {
  for (const TvqMode& mode : kTvqModes) {
    if (mode.samplingCode == kilohertz) return mode.sampleRate;
  }
  return kilohertz > 0 && kilohertz <= 1000000 ? static_cast<uint32_t>(kilohertz) * 1000 : 0;
}

uint32_t VqfChannelBitRate(int32_t kilobits, int channels) {
  if (kilobits <= 0) return 0;
  return static_cast<uint32_t>(std::min<int64_t>(int64_t{kilobits} * 1000 / channels, UINT32_MAX));
}

// The code of the mode of that rate, or whose code times 1000 it is (11000
// Hz gives 11).
int32_t VqfKilohertz(uint32_t rate) {
  for (const TvqMode& mode : kTvqModes) {
    if (rate == mode.sampleRate || rate == static_cast<uint32_t>(mode.samplingCode) * 1000) return mode.samplingCode;
  }
  return 0;
}

int32_t VqfPreselection(uint16_t codecOption) {
  switch (codecOption) {
    case 0: case 2: return 16;
    case 1: return 4;
    case 3: return 32;
    default: return 0;
  }
}
