// SPDX-License-Identifier: GPL-2.0-or-later
// The description of an audio stream, the format codes and the error numbers.
//
// AudioInfo travels between the audio stream layer, the conversion and the
// pack directory, where it is stored as 46 little-endian bytes. This header
// depends on nothing but the standard library so that every layer may use it.
#pragma once

#include <cstddef>
#include <cstdint>

// Major codes name the container (bits 16 to 30), minor codes the sample
// encoding inside it (bits 0 to 15). A format code is major | minor.
inline constexpr uint32_t FMT_WAV = 0x10000;
inline constexpr uint32_t FMT_AIFF = 0x20000;
inline constexpr uint32_t FMT_AU = 0x30000;
inline constexpr uint32_t FMT_AU_LE = 0x40000;
inline constexpr uint32_t FMT_RAW = 0x50000;
inline constexpr uint32_t FMT_PAF = 0x60000;
inline constexpr uint32_t FMT_SVX = 0x70000;
inline constexpr uint32_t FMT_NIST = 0x80000;
inline constexpr uint32_t FMT_ASF = 0x90000;
inline constexpr uint32_t FMT_SAMPLITUDE = 0xA0000;
inline constexpr uint32_t FMT_VOC = 0xB0000;
inline constexpr uint32_t FMT_REX2 = 0xD0000;
inline constexpr uint32_t FMT_IRCAM = 0xE0000;
inline constexpr uint32_t FMT_VQF = 0x200000;
inline constexpr uint32_t FMT_OGG = 0x300000;
inline constexpr uint32_t FMT_MP4 = 0x400000;

inline constexpr uint32_t FMT_PCM = 1;
inline constexpr uint32_t FMT_FLOAT = 2;
inline constexpr uint32_t FMT_ULAW = 3;
inline constexpr uint32_t FMT_ALAW = 4;
inline constexpr uint32_t FMT_IMA_ADPCM = 5;
inline constexpr uint32_t FMT_MS_ADPCM = 6;
inline constexpr uint32_t FMT_PCM_BE = 7;
inline constexpr uint32_t FMT_PCM_LE = 8;
inline constexpr uint32_t FMT_PCM_S8 = 9;
inline constexpr uint32_t FMT_PCM_U8 = 10;
inline constexpr uint32_t FMT_GSM610 = 13;
inline constexpr uint32_t FMT_G721_32 = 14;
inline constexpr uint32_t FMT_G723_24 = 15;
inline constexpr uint32_t FMT_FLOAT_BE = 16;
inline constexpr uint32_t FMT_FLOAT_LE = 17;

// Recognition's result for a headerless AU file: u-law, 8000 Hz, mono.
inline constexpr uint32_t FMT_AU_HEADERLESS = FMT_AU | FMT_ULAW;

inline constexpr uint32_t kFormatMajorMask = 0x7FFF0000;
inline constexpr uint32_t kFormatMinorMask = 0xFFFF;

constexpr uint32_t FormatMajor(uint32_t format) { return format & kFormatMajorMask; }
constexpr uint32_t FormatMinor(uint32_t format) { return format & kFormatMinorMask; }

// Error numbers of the audio stream layer, by name (ErrorMessage in
// audio_stream.h gives the text of every number 0..87; 23 to 70 are the
// containers' own, in the ranges the format list gives).
inline constexpr int kErrorNone = 0;
inline constexpr int kErrorCannotOpen = 2;
inline constexpr int kErrorBadFormat = 3;
inline constexpr int kErrorBadHandle = 4;
inline constexpr int kErrorNoInfo = 5;
inline constexpr int kErrorBadFile = 6;
inline constexpr int kErrorBadPointer = 7;
inline constexpr int kErrorMemory = 8;
inline constexpr int kErrorSeek = 9;
inline constexpr int kErrorUnimplemented = 11;
inline constexpr int kErrorReadChannels = 12;
inline constexpr int kErrorWriteChannels = 13;
inline constexpr int kErrorUnknownFormat = 14;
inline constexpr int kErrorReadOnWrite = 15;
inline constexpr int kErrorWriteOnRead = 16;
inline constexpr int kErrorInfoIncomplete = 18;
inline constexpr int kErrorShortRead = 19;
inline constexpr int kErrorShortWrite = 20;
inline constexpr int kErrorInternal = 21;  // also: an encoder refused its settings
inline constexpr int kErrorWavNoFmt = 25;
inline constexpr int kErrorWavShortFmt = 26;
inline constexpr int kErrorWavFmt = 31;
inline constexpr int kErrorRawNeedsLayout = 51;
inline constexpr int kErrorRawBitWidth = 52;
inline constexpr int kErrorIrcamEncoding = 70;
inline constexpr int kErrorLastContainer = 70;
// 71 to 76: the TwinVQ libraries' set-up codes 1 to 6, added to 70.
inline constexpr int kErrorVqfBase = 70;
inline constexpr int kErrorVqfUnspecified = 71;
inline constexpr int kErrorVqfChannelMode = 73;
inline constexpr int kErrorVqfParameter = 75;
inline constexpr int kErrorVqfReaderSetUp = 77;
inline constexpr int kErrorVqfSampleRate = 78;
inline constexpr int kErrorVqfLibrary = 79;
inline constexpr int kErrorAacEncoding = 80;
inline constexpr int kErrorAacDecoding = 81;
inline constexpr int kErrorAacLibrary = 82;
inline constexpr int kErrorNotVorbis = 83;
inline constexpr int kErrorOggLibrary = 84;
inline constexpr int kErrorVorbisLibrary = 85;
inline constexpr int kErrorVorbisEncLibrary = 86;
inline constexpr int kErrorMaximum = 87;

// The value `quality` holds when no quality was asked for.
inline constexpr float kQualityNotSet = -1.0f;

struct AudioInfo {
  uint32_t samplerate = 0;   // frames per second
  uint32_t pcmbitwidth = 0;  // bits per sample of the encoding
  uint32_t channels = 0;     // samples per frame
  uint32_t samples = 0;      // frames in the stream
  uint32_t format = 0;       // major | minor format code
  uint32_t sections = 0;
  uint32_t seekable = 0;
  uint32_t bitrate = 0;      // bits per second (codec streams)
  uint32_t minBitrate = 0;   // Ogg Vorbis managed mode; 0 when not set
  uint32_t maxBitrate = 0;
  float quality = 0.0f;      // Ogg Vorbis quality; kQualityNotSet when not set
  uint16_t codecOption = 0;  // AAC object type or TwinVQ candidates
};

// Size of AudioInfo in a pack directory.
inline constexpr size_t kAudioInfoBytes = 46;

// Writes `info` as 46 little-endian bytes: words 0 to 9 as u32 at offsets 0 to
// 36, quality as an IEEE f32 at 40, codecOption as u16 at 44.
void StoreAudioInfo(const AudioInfo& info, uint8_t out[kAudioInfoBytes]);

// Reads the 46-byte form written by StoreAudioInfo. Every bit pattern is
// accepted: the values are untrusted and callers check what they use.
[[nodiscard]] AudioInfo LoadAudioInfo(const uint8_t in[kAudioInfoBytes]);
