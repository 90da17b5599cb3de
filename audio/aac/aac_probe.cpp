// The header probe of AAC streams: ID3v2 tag, ADIF header, ADTS frames.
#include <array>
#include <cstring>

#include "audio/aac/aac.h"

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

// Scans the ADTS frames of [at, at + available). False for an index outside
// the table.
bool ScanAdts(const uint8_t* at, size_t available, AacHeaderInfo* info) {
  unsigned index = 0;
  uint64_t total = 0, frames = 0;
  size_t position = 0;
  while (available - position >= kAdtsHeaderBytes && IsAdtsSync(at + position)) {
    const uint8_t* h = at + position;
    if (frames == 0) {
      index = (h[2] >> 2) & 0x0F;
      info->channels = ((h[2] & 0x01) << 2) | (h[3] >> 6);
    }
    const size_t length = ((h[3] & 0x03u) << 11) | (unsigned{h[4]} << 3) | (h[5] >> 5);
    if (length < kAdtsHeaderBytes || length > available - position) break;
    total += length;
    ++frames;
    position += length;
  }
  info->samplerate = RateOf(index);
  if (frames > 0) {
    const double perFrame = static_cast<double>(total / frames);
    info->bitrate = 8 * static_cast<int32_t>(info->samplerate / 1024.0 * perFrame + 0.5);
  }
  return info->samplerate != 0;
}

}  // namespace

int64_t ProbeAacHeader(const uint8_t* bytes, size_t size, AacHeaderInfo* info) {
  *info = AacHeaderInfo{};
  size_t tag = 0;
  if (size >= kId3HeaderBytes && std::memcmp(bytes, "ID3", 3) == 0) {
    const uint64_t s = (((uint64_t{bytes[6]} * 128 + bytes[7]) * 128 + bytes[8]) * 128) + bytes[9];
    tag = s + kId3HeaderBytes < size ? static_cast<size_t>(s + kId3HeaderBytes) : size;
  }
  const uint8_t* audio = bytes + tag;
  const size_t available = size - tag;
  if (available >= 2 && audio[0] == 'A' && audio[1] == 'D') {
    if (available >= 4 && std::memcmp(audio, "ADIF", 4) == 0 && !ParseAdif(audio + 4, available - 4, info)) {
      return kAacInvalidHeader;
    }
  } else if (available >= 2 && IsAdtsSync(audio)) {
    if (available >= kAdtsHeaderBytes && !ScanAdts(audio, available, info)) return kAacInvalidHeader;
  } else {
    info->channels = kRawChannels;
    info->samplerate = kRawSampleRate;
    info->bitrate = kRawBitrate;
  }
  return static_cast<int64_t>(tag);
}
