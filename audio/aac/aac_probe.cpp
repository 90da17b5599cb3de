// SPDX-License-Identifier: GPL-2.0-or-later
// The header probe of AAC streams: ID3v2 tag, ADIF header, ADTS frames.
#include <array>
#include <cerrno>
#include <cstring>

#include "audio/aac/aac.h"
#include "audio/aac/aac_input.h"

namespace {

constexpr size_t kId3HeaderBytes = 10;
constexpr size_t kAdtsHeaderBytes = 7;
constexpr size_t kAdifHeaderBytes = 30;  // after "ADIF": enough for the fields read
constexpr int32_t kRawChannels = 2;
constexpr int32_t kRawSampleRate = 44100;
constexpr int32_t kRawBitrate = 128000;

// Sample rates by sampling-frequency index.
constexpr std::array<int32_t, 12> kSampleRates = {96000, 88200, 64000, 48000, 44100, 32000,
                                                  24000, 22050, 16000, 12000, 11025, 8000};

bool IsAdtsSync(const uint8_t* b) { return b[0] == 0xFF && (b[1] & 0xF6) == 0xF0; }

// The rate of a sampling-frequency index, 0 outside the table.
int32_t RateOf(unsigned index) { return index < kSampleRates.size() ? kSampleRates[index] : 0; }

// The ADIF header from just after "ADIF": bitrate and the sampling
// frequency of the first program configuration. False for an index
// outside the table.
bool ParseAdif(const uint8_t* at, size_t available, AacHeaderInfo* info) {
  uint8_t b[kAdifHeaderBytes] = {};
  std::memcpy(b, at, available < sizeof b ? available : sizeof b);
  // A 72-bit copyright id shifts every later field by 9 bytes.
  const size_t s = (b[0] & 0x80) != 0 ? 9 : 0;
  info->bitrate = static_cast<int32_t>((uint32_t{b[s] & 0x0Fu} << 19) | (uint32_t{b[s + 1]} << 11) |
                                       (uint32_t{b[s + 2]} << 3) | (uint32_t{b[s + 3]} >> 5));
  // A constant-rate stream (bitstream type 0) has a 20-bit buffer fullness
  // before the program configuration.
  const unsigned index = (b[s] & 0x10) == 0 ? (b[s + 7] >> 3) & 0x0F
                                            : ((b[s + 4] & 0x07) << 1) | (b[s + 5] >> 7);
  info->samplerate = RateOf(index);
  return info->samplerate != 0;
}

// Scans the ADTS frames of the window from `audio` on, a header at a time.
// Returns 1, 0 for an index outside the table, -1 when the window cannot
// be read.
int ScanAdts(AacInput& input, int64_t audio, AacHeaderInfo* info) {
  unsigned index = 0;
  uint64_t total = 0, frames = 0;
  for (int64_t at = audio; input.size - at >= static_cast<int64_t>(kAdtsHeaderBytes);) {
    if (!FillAacInput(input, at, kAdtsHeaderBytes)) return -1;
    const uint8_t* h = AacInputAt(input, at);
    if (!IsAdtsSync(h)) break;
    if (frames == 0) {
      index = (h[2] >> 2) & 0x0F;
      info->channels = ((h[2] & 0x01) << 2) | (h[3] >> 6);
    }
    const int64_t length = ((h[3] & 0x03u) << 11) | (unsigned{h[4]} << 3) | (h[5] >> 5);
    if (length < static_cast<int64_t>(kAdtsHeaderBytes) || length > input.size - at) break;
    total += static_cast<uint64_t>(length);
    ++frames;
    at += length;
  }
  info->samplerate = RateOf(index);
  if (frames > 0) {
    const double perFrame = static_cast<double>(total / frames);
    info->bitrate = 8 * static_cast<int32_t>(info->samplerate / 1024.0 * perFrame + 0.5);
  }
  return info->samplerate != 0 ? 1 : 0;
}

// The probe over `input`; see ProbeAacHeader.
int64_t Probe(AacInput& input, AacHeaderInfo* info) {
  const int64_t size = input.size;
  int64_t tag = 0;
  if (!FillAacInput(input, 0, kId3HeaderBytes)) return kAacUnreadable;
  const uint8_t* bytes = AacInputAt(input, 0);
  if (size >= static_cast<int64_t>(kId3HeaderBytes) && std::memcmp(bytes, "ID3", 3) == 0) {
    const uint64_t s = (((uint64_t{bytes[6]} * 128 + bytes[7]) * 128 + bytes[8]) * 128) + bytes[9];
    tag = s + kId3HeaderBytes < static_cast<uint64_t>(size) ? static_cast<int64_t>(s + kId3HeaderBytes) : size;
  }
  if (!FillAacInput(input, tag, 4 + kAdifHeaderBytes)) return kAacUnreadable;
  const uint8_t* audio = AacInputAt(input, tag);
  const int64_t available = size - tag;
  if (available >= 2 && audio[0] == 'A' && audio[1] == 'D') {
    if (available >= 4 && std::memcmp(audio, "ADIF", 4) == 0 &&
        !ParseAdif(audio + 4, static_cast<size_t>(available - 4), info)) {
      return kAacInvalidHeader;
    }
  } else if (available >= 2 && IsAdtsSync(audio)) {
    if (available >= static_cast<int64_t>(kAdtsHeaderBytes)) {
      const int scanned = ScanAdts(input, tag, info);
      if (scanned < 0) return kAacUnreadable;
      if (scanned == 0) return kAacInvalidHeader;
    }
  } else {
    info->channels = kRawChannels;
    info->samplerate = kRawSampleRate;
    info->bitrate = kRawBitrate;
  }
  return tag;
}

}  // namespace

int64_t ProbeAacHeader(AudioStream& stream, AacHeaderInfo* info) {
  *info = AacHeaderInfo{};
  AacInput input;
  if (!OpenAacInput(input, *stream.file, stream.fileoffset, stream.filelength)) return kAacNoMemory;
  errno = 0;
  const int64_t tag = Probe(input, info);
  if (tag == kAacUnreadable && stream.systemError == 0) stream.systemError = errno;
  return tag;
}
