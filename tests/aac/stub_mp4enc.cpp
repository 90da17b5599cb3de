// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in AAC encoder library with faac's entry points, for the module's
// tests: it takes 2048 samples a call, codes each call as "ABCD" and the
// flush as two calls of "xyz", and records what it was given. Call number
// stub_fail_call (from 0) fails.
#include <cstring>

#include "codecs/aac_encoder/faac.h"

extern "C" {
FAACAPI unsigned stub_counts[64];
FAACAPI int stub_calls;
FAACAPI int stub_fail_call = -1;
FAACAPI faacEncConfiguration stub_applied;
}

namespace {
faacEncConfiguration current;
int flushes;
}  // namespace

faacEncHandle FAACAPI faacEncOpen(unsigned long, unsigned, unsigned long* inputSamples, unsigned long* maxOutput) {
  *inputSamples = 2048;
  *maxOutput = 16;
  stub_calls = flushes = 0;
  return &current;
}

faacEncConfigurationPtr FAACAPI faacEncGetCurrentConfiguration(faacEncHandle) { return &current; }
int FAACAPI faacEncClose(faacEncHandle) { return 0; }

int FAACAPI faacEncSetConfiguration(faacEncHandle, faacEncConfigurationPtr config) {
  stub_applied = *config;
  return 1;
}

int FAACAPI faacEncEncode(faacEncHandle, int32_t*, unsigned int samplesInput, unsigned char* out, unsigned int) {
  const int call = stub_calls;
  if (stub_calls < 64) stub_counts[stub_calls++] = samplesInput;
  if (call == stub_fail_call) return -1;
  if (samplesInput == 0 && flushes++ == 2) return 0;
  std::memcpy(out, samplesInput > 0 ? "ABCD" : "xyz", samplesInput > 0 ? 4 : 3);
  return samplesInput > 0 ? 4 : 3;
}
