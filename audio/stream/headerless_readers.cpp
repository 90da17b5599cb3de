// SPDX-License-Identifier: GPL-2.0-or-later
// Headerless samples: raw PCM in the caller's layout and headerless u-law AU.
// The window's bytes are all samples; libsndfile's raw mode decodes them.
#include "audio/stream/headerless_readers.h"

#include <climits>

#include "audio/stream/sndfile_module.h"

int RawOpenRead(AudioStream& stream) {
  const AudioInfo& info = stream.info;
  const uint32_t minor = FormatMinor(info.format);
  const bool bytes = minor == FMT_PCM_S8 || minor == FMT_PCM_U8;
  if (info.channels == 0 || info.pcmbitwidth == 0 || (!bytes && minor != FMT_PCM_BE && minor != FMT_PCM_LE) ||
      (bytes && info.pcmbitwidth != 8)) {
    return kErrorRawNeedsLayout;
  }
  if (info.pcmbitwidth % 8 != 0) return kErrorRawBitWidth;
  if (info.pcmbitwidth > 32 || info.channels > INT_MAX || info.samplerate > INT_MAX) return kErrorUnimplemented;
  SF_INFO sfinfo = {};
  sfinfo.samplerate = static_cast<int>(info.samplerate);
  sfinfo.channels = static_cast<int>(info.channels);
  const int order = minor == FMT_PCM_BE ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE;
  switch (info.pcmbitwidth) {
    case 8: sfinfo.format = minor == FMT_PCM_U8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8; break;
    case 16: sfinfo.format = SF_FORMAT_PCM_16 | order; break;
    case 24: sfinfo.format = SF_FORMAT_PCM_24 | order; break;
    default: sfinfo.format = SF_FORMAT_PCM_32 | order; break;
  }
  sfinfo.format |= SF_FORMAT_RAW;
  const int opened = OpenSndfileWindow(stream, sfinfo, kErrorUnknownFormat);
  if (opened != kErrorNone) return opened;
  return DescribeSndfileRead(stream, sfinfo, nullptr);
}

int HeaderlessUlawOpenRead(AudioStream& stream) {
  SF_INFO sfinfo = {};
  sfinfo.samplerate = 8000;
  sfinfo.channels = 1;
  sfinfo.format = SF_FORMAT_RAW | SF_FORMAT_ULAW;
  const int opened = OpenSndfileWindow(stream, sfinfo, kErrorUnknownFormat);
  if (opened != kErrorNone) return opened;
  stream.info.format = FMT_AU_HEADERLESS;
  stream.info.samplerate = 8000;
  stream.info.channels = 1;
  stream.info.pcmbitwidth = 16;
  return DescribeSndfileRead(stream, sfinfo, nullptr);
}
