// SPDX-License-Identifier: GPL-2.0-or-later
// The formats of the audio stream layer: one record per format, all of them
// in one list (stream_formats.cpp). Recognition, the module chosen by a
// format code, FormatCheck, the libsndfile bridge, FormatName and what
// spoolpack may pack a file as are all read from it.
#pragma once

#include <cstdint>
#include <span>

#include "audio/stream/stream_module.h"

// The first 12 bytes of a stream (zeros past its window) and its base name,
// as recognition sees them.
struct StreamStart {
  uint8_t bytes[12] = {};
  const char* filename = "";
};

// Whether a stream that begins with `start` is of the record's format.
using FormatProbeFn = bool (*)(const StreamStart& start);

// Encodings and bit widths that a format may be written with: the minor
// codes in `minors` (bit 1 << minor; kAnyMinor for every code) with a
// pcmbitwidth from `lowBits` to `highBits` (a multiple of 8 when
// `wholeBytes`) and at most `maxChannels` channels. A rule without minors
// accepts nothing.
struct WriteRule {
  uint32_t minors = 0;
  uint32_t lowBits = 0;
  uint32_t highBits = 0;
  bool wholeBytes = false;
  uint32_t maxChannels = 256;
};
inline constexpr uint32_t kAnyMinor = UINT32_MAX;
inline constexpr uint32_t kAnyBits = UINT32_MAX;
inline constexpr int kMaxWriteRules = 5;
struct WriteRules {
  WriteRule rule[kMaxWriteRules];
};

// How the libsndfile bridge holds a container (sndfile_module.h).
struct SndfileContainer {
  int major = 0;         // SF_FORMAT_WAV, ...; 0: not a libsndfile container
  int alsoMajor = 0;     // a second libsndfile container read as this one (WAVEX)
  int wrongMarker = 0;   // error when libsndfile finds another container
  int reports = 0;       // kReports... flags: what the minor code read tells
  int writeOrder = 0;    // byte order written when the code names none
  int ownOrder = 0;      // the container's own order, left to libsndfile when asked for
  bool unsigned8 = false;  // 8-bit linear PCM is written unsigned
};
// The minor code read names the byte order of linear PCM wider than 8 bits,
// of 32-bit floats, and 8-bit PCM reads as FMT_PCM_S8.
inline constexpr int kReportsPcmOrder = 1;
inline constexpr int kReportsFloatOrder = 2;
inline constexpr int kReportsSigned8 = 4;

// The stream code a kept file records when it is its format's own code.
inline constexpr uint32_t kKeptAsOwnCode = UINT32_MAX;

struct StreamFormat {
  uint32_t code = 0;              // major code, or FMT_AU_HEADERLESS; 0: recognised as no format
  const char* name = nullptr;     // as FormatName gives it: "WAV", "SVX"
  const char* listedAs = nullptr; // in spoolpack's help: "8SVX"; null: not listed
  FormatProbeFn probe = nullptr;  // null: only opened by its code
  ModuleOpenFn openRead = nullptr;   // null: cannot be read (14)
  ModuleOpenFn openWrite = nullptr;  // null: cannot be written (14)
  WriteRules writes = {};            // FormatCheck; none: 3
  SndfileContainer sndfile = {};
  int firstError = 0, lastError = 0;  // the format's own error numbers; 0: none
  bool codec = false;  // decoded whole at open, within MaxCodecSamples; minor ignored
  uint32_t keptAs = kKeptAsOwnCode;   // code recorded for a file packed as its own bytes
  const char* lossyRefusal = nullptr;  // why a lossy mode cannot give such a file back
};

// The record of a format code (exactly: a major code, or FMT_AU_HEADERLESS),
// null for none.
[[nodiscard]] const StreamFormat* FindStreamFormat(uint32_t code);

// The record whose probe first holds for `start` (the last, raw, holds for
// every start).
[[nodiscard]] const StreamFormat& RecogniseStart(const StreamStart& start);

// One encoding: its minor code, its name and the libsndfile subtype that
// holds it (0 for linear PCM, whose subtype follows the bit width).
struct StreamEncoding {
  uint32_t minor;
  const char* name;
  int sndfileSubtype;
};
[[nodiscard]] std::span<const StreamEncoding> StreamEncodings();
