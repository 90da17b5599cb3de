// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in for faad2 with its entry points, for the module's tests: each
// decode call consumes stub_frame_bytes (at most what it is given) and
// returns the next count of stub_frame_samples, samples whose value is the
// call's number times 1000 plus their place in the call, reporting
// stub_channels and stub_samplerate. It records the configuration applied
// and the bytes the initialisation was given.
#include <neaacdec.h>

#include <cstring>

extern "C" {
NEAACDECAPI unsigned long stub_frame_bytes = 100;
NEAACDECAPI unsigned long stub_frame_samples[8];
NEAACDECAPI unsigned char stub_channels;
NEAACDECAPI unsigned long stub_samplerate;
NEAACDECAPI NeAACDecConfiguration stub_applied;
NEAACDECAPI unsigned long stub_init_bytes;
}

namespace {
NeAACDecConfiguration current;
int calls;
short out[8192];
}  // namespace

NeAACDecHandle NeAACDecOpen(void) { return &current; }
NeAACDecConfigurationPtr NeAACDecGetCurrentConfiguration(NeAACDecHandle) { return &current; }
void NeAACDecClose(NeAACDecHandle) {}

unsigned char NeAACDecSetConfiguration(NeAACDecHandle, NeAACDecConfigurationPtr config) {
  stub_applied = *config;
  return 1;
}

long NeAACDecInit(NeAACDecHandle, unsigned char*, unsigned long size, unsigned long*, unsigned char*) {
  stub_init_bytes = size;
  calls = 0;
  return 0;
}

void* NeAACDecDecode(NeAACDecHandle, NeAACDecFrameInfo* info, unsigned char*, unsigned long size) {
  std::memset(info, 0, sizeof *info);
  info->bytesconsumed = stub_frame_bytes < size ? stub_frame_bytes : size;
  info->samples = calls < 8 ? stub_frame_samples[calls] : 0;
  info->channels = stub_channels;
  info->samplerate = stub_samplerate;
  for (unsigned long i = 0; i < info->samples && i < 8192; ++i) out[i] = short(calls * 1000 + int(i % 1000));
  ++calls;
  return out;
}
