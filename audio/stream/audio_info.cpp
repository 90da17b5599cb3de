// SPDX-License-Identifier: GPL-2.0-or-later
// The 46-byte little-endian form of AudioInfo.
#include "audio/stream/audio_info.h"

#include <bit>
#include <cstring>

namespace {

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

void StoreAudioInfo(const AudioInfo& info, uint8_t out[kAudioInfoBytes]) {
  const uint32_t words[10] = {info.samplerate, info.pcmbitwidth, info.channels, info.samples,
                              info.format,     info.sections,    info.seekable, info.bitrate,
                              info.minBitrate, info.maxBitrate};
  for (int i = 0; i < 10; ++i) PutU32(out + 4 * i, words[i]);
  PutU32(out + 40, std::bit_cast<uint32_t>(info.quality));
  out[44] = static_cast<uint8_t>(info.codecOption);
  out[45] = static_cast<uint8_t>(info.codecOption >> 8);
}

AudioInfo LoadAudioInfo(const uint8_t in[kAudioInfoBytes]) {
  AudioInfo info;
  uint32_t* words[10] = {&info.samplerate, &info.pcmbitwidth, &info.channels, &info.samples,
                         &info.format,     &info.sections,    &info.seekable, &info.bitrate,
                         &info.minBitrate, &info.maxBitrate};
  for (int i = 0; i < 10; ++i) *words[i] = GetU32(in + 4 * i);
  info.quality = std::bit_cast<float>(GetU32(in + 40));
  info.codecOption = static_cast<uint16_t>(in[44] | (in[45] << 8));
  return info;
}
