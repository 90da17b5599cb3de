/* A stand-in AAC encoder library with faac's entry points, for the
 * module's tests: it takes 2048 samples a call, codes each call as 4
 * bytes and the flush as two calls of 3 bytes, and records what it was
 * given. stub_fail_call makes that call (counted from 0) fail. */
#include <stddef.h>
#include <string.h>

#include "codecs/aac_encoder/faac.h"

FAACAPI unsigned stub_counts[64];
FAACAPI int stub_calls;
FAACAPI int stub_fail_call = -1;
FAACAPI faacEncConfiguration stub_applied;

static faacEncConfiguration current;
static int flushes;
static int handle;

faacEncHandle FAACAPI faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                                  unsigned long* maxOutputBytes) {
  (void)sampleRate;
  (void)numChannels;
  *inputSamples = 2048;
  *maxOutputBytes = 16;
  stub_calls = 0;
  flushes = 0;
  memset(&current, 0, sizeof current);
  return &handle;
}

faacEncConfigurationPtr FAACAPI faacEncGetCurrentConfiguration(faacEncHandle hEncoder) {
  (void)hEncoder;
  return &current;
}

int FAACAPI faacEncSetConfiguration(faacEncHandle hEncoder, faacEncConfigurationPtr config) {
  (void)hEncoder;
  stub_applied = *config;
  return 1;
}

int FAACAPI faacEncEncode(faacEncHandle hEncoder, int32_t* inputBuffer, unsigned int samplesInput,
                          unsigned char* outputBuffer, unsigned int bufferSize) {
  (void)hEncoder;
  (void)inputBuffer;
  const int call = stub_calls;
  if (stub_calls < 64) stub_counts[stub_calls++] = samplesInput;
  if (call == stub_fail_call || bufferSize < 4) return -1;
  if (samplesInput > 0) {
    memcpy(outputBuffer, "ABCD", 4);
    return 4;
  }
  if (flushes == 2) return 0;
  ++flushes;
  memcpy(outputBuffer, "xyz", 3);
  return 3;
}

int FAACAPI faacEncClose(faacEncHandle hEncoder) {
  (void)hEncoder;
  return 0;
}
