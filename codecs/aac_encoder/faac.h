// SPDX-License-Identifier: GPL-2.0-or-later
// The AAC encoder interface of libmp4enc.so: faac's published encoder API
// (handle, configuration record, constants and entry points), so that code
// written for faac runs over this library and the other way round.
//
// Use: faacEncOpen gives the samples one call takes and the largest output
// of one call; faacEncGetCurrentConfiguration gives the settings to change,
// faacEncSetConfiguration applies them; faacEncEncode is called once per
// chunk of input, then with 0 samples until it returns 0 (the flush);
// faacEncClose releases the handle.
//
// The audio layer loads the library at run time and uses this header for the
// types only; the library includes it to export exactly these entry points.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define FAACAPI __attribute__((visibility("default")))
#else
#define FAACAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Version of the configuration record below.
#define FAAC_CFG_VERSION 105

// mpegVersion: the ID bit of the ADTS header.
#define MPEG2 1
#define MPEG4 0

// aacObjectType: the object type, one more than the ADTS profile field.
#define MAIN 1
#define LOW 2
#define SSR 3
#define LTP 4

// inputFormat: the samples faacEncEncode is given.
#define FAAC_INPUT_NULL 0
#define FAAC_INPUT_16BIT 1
#define FAAC_INPUT_24BIT 2
#define FAAC_INPUT_32BIT 3
#define FAAC_INPUT_FLOAT 4

// shortctl: block switching.
#define SHORTCTL_NORMAL 0
#define SHORTCTL_NOSHORT 1
#define SHORTCTL_NOLONG 2

// jointmode.
#define JOINT_NONE 0
#define JOINT_MS 1
#define JOINT_IS 2

// outputFormat.
#define RAW_STREAM 0
#define ADTS_STREAM 1

typedef void* faacEncHandle;

// One psychoacoustic model: the list ends with a null name.
typedef struct psymodellist_t {
  void* ptr;
  char* name;
} psymodellist_t;

typedef struct faacEncConfiguration {
  int version;               // FAAC_CFG_VERSION of the library
  char* name;                // the library's name and version
  char* copyright;           // its copyright notice
  unsigned int mpegVersion;  // MPEG4 or MPEG2
  unsigned int aacObjectType;  // MAIN, LOW, SSR or LTP
  union {
    unsigned int jointmode;     // JOINT_NONE, JOINT_MS or JOINT_IS
    unsigned int allowMidside;  // older name of the same field
  };
  unsigned int useLfe;         // 1: the last channel is a low-frequency channel
  unsigned int useTns;         // 1: temporal noise shaping
  unsigned long bitRate;       // bits per second per channel (this library: 0 takes 64000)
  unsigned int bandWidth;      // highest coded frequency in Hz, 0: the library's choice
  unsigned long quantqual;     // quantizer quality, for encoding without a bit rate
  unsigned int outputFormat;   // RAW_STREAM or ADTS_STREAM (a 7-byte header on every frame)
  psymodellist_t* psymodellist;  // the models to choose from
  unsigned int psymodelidx;      // the model chosen
  unsigned int inputFormat;      // FAAC_INPUT_...
  int shortctl;                  // SHORTCTL_...
  int channel_map[64];           // input channel of each coded channel
  int pnslevel;                  // perceptual noise substitution, 0 (off) to 10
} faacEncConfiguration, *faacEncConfigurationPtr;

// Opens an encoder for `sampleRate` Hz and `numChannels` channels. Sets
// *inputSamples to the samples (all channels together) one faacEncEncode
// call takes and *maxOutputBytes to the most bytes one call returns. Returns
// null when the rate or channel count cannot be encoded.
faacEncHandle FAACAPI faacEncOpen(unsigned long sampleRate, unsigned int numChannels,
                                  unsigned long* inputSamples, unsigned long* maxOutputBytes);

// The encoder's settings, to be changed in place and handed back to
// faacEncSetConfiguration. Valid until faacEncClose.
faacEncConfigurationPtr FAACAPI faacEncGetCurrentConfiguration(faacEncHandle hEncoder);

// Applies `config`. Returns 1, or 0 when the settings cannot be encoded (the
// previous ones stay) or encoding has begun.
int FAACAPI faacEncSetConfiguration(faacEncHandle hEncoder, faacEncConfigurationPtr config);

// Encodes `samplesInput` interleaved samples (at most *inputSamples of
// faacEncOpen, whole frames) and writes what is ready, at most one coded
// frame, to `outputBuffer` of `bufferSize` bytes. With 0 samples, flushes:
// every call returns one more of the frames still held, and 0 once none is
// left. `inputBuffer` points at 16-bit samples for FAAC_INPUT_16BIT. Returns
// the bytes written (0 while the encoder still fills its delay), or -1.
int FAACAPI faacEncEncode(faacEncHandle hEncoder, int32_t* inputBuffer, unsigned int samplesInput,
                          unsigned char* outputBuffer, unsigned int bufferSize);

// Releases the encoder. Returns 0.
int FAACAPI faacEncClose(faacEncHandle hEncoder);

#ifdef __cplusplus
}
#endif
