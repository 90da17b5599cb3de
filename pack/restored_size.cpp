// SPDX-License-Identifier: GPL-2.0-or-later
// The size of a restored audio file from its stored description. Linear PCM
// in WAV, AIFF, AU and headerless files is laid out by libsndfile with a
// header of fixed size, the samples in whole bytes (the narrowest of 1 to 4
// that holds the bit width) and nothing after them but the pad byte of WAV
// and AIFF after odd data: its size is exact. Every layout gets a bound
// too, the one the expansion limits check: the samples in the container's
// encoding and room for any header.
#include "pack/restored_size.h"

#include <algorithm>

#include "audio/stream/audio_stream.h"

namespace {

// Header bytes before the samples:
//   WAV:  "RIFF" chunk (12), "fmt " chunk of 16 bytes (24), "data" header (8)
//   AIFF: "FORM" chunk (12), "COMM" chunk of 18 bytes (26), "SSND" header,
//         offset and block size (16)
//   AU:   the six 32-bit fields of ".snd" (24)
constexpr uint64_t kWavHeaderBytes = 44;
constexpr uint64_t kAiffHeaderBytes = 54;
constexpr uint64_t kAuHeaderBytes = 24;
// Room for any other container's header: NIST and IRCAM headers take 1024
// bytes, PAF's 2048; WAV, AIFF and AU far less, with 8 bytes a channel for
// a float file's peak chunk.
constexpr uint64_t kHeaderAllowanceBytes = 4096;
constexpr uint64_t kPeakBytesPerChannel = 8;
// ADPCM: 4 bits a sample and a few bytes a block and channel (at least
// 252 of every 256 bytes hold samples); a last block of up to 2048 bytes a
// channel. GSM 06.10: 65 bytes for every 320 samples.
constexpr uint64_t kAdpcmBlockBytes = 2048;
constexpr uint64_t kGsmBlockBytes = 65;
constexpr uint64_t kGsmBlockSamples = 320;
constexpr uint64_t kPaf24BlockBytes = 32;

// Bytes of data for `samples` samples (all channels) of `stored`'s
// encoding, at most.
uint64_t DataBytes(const AudioInfo& stored, uint64_t samples) {
  const uint32_t major = FormatMajor(stored.format);
  const uint64_t channels = stored.channels;
  switch (FormatMinor(stored.format)) {
    case FMT_PCM_S8:
    case FMT_PCM_U8:
    case FMT_ULAW:
    case FMT_ALAW:
      return samples;
    case FMT_FLOAT:
    case FMT_FLOAT_BE:
    case FMT_FLOAT_LE:
      return samples * 4;
    case FMT_IMA_ADPCM:
    case FMT_MS_ADPCM:
      return (samples * 33 + 63) / 64 + kAdpcmBlockBytes * channels;
    case FMT_GSM610:
      return (samples + kGsmBlockSamples - 1) / kGsmBlockSamples * kGsmBlockBytes + kGsmBlockBytes;
    case FMT_G721_32:
      return (samples + 1) / 2;
    case FMT_G723_24:
      return (samples * 3 + 7) / 8;
    case FMT_PCM:
    case FMT_PCM_BE:
    case FMT_PCM_LE: {
      uint64_t width = (std::min<uint64_t>(stored.pcmbitwidth, 32) + 7) / 8;
      if (major == FMT_IRCAM && width == 3) width = 4;  // libsndfile writes no 24-bit IRCAM samples
      // PAF holds 24-bit samples in blocks of 32 bytes for 10 samples of a channel.
      if (major == FMT_PAF && width == 3) return (samples + 9) / 10 * kPaf24BlockBytes + kPaf24BlockBytes * channels;
      return samples * std::max<uint64_t>(width, 1);
    }
    default:
      return samples * 4;  // no encoding the layer writes: the widest
  }
}

// The descriptions a restoration accepts (see pack/audio_entry.h).
bool Plausible(const AudioInfo& info) {
  return info.channels >= 1 && info.channels <= 256 && info.samplerate >= 1000 && info.samplerate <= 768000 &&
         info.pcmbitwidth >= 1 && info.pcmbitwidth <= 32 && uint64_t{info.samples} * info.channels <= INT32_MAX;
}

// The exact size of a file of linear PCM in WAV, AIFF, AU or headerless,
// or none for any other layout.
std::optional<uint64_t> ExactBytes(const AudioInfo& stored) {
  if (!Plausible(stored) || stored.pcmbitwidth < 8) return std::nullopt;
  const uint32_t major = FormatMajor(stored.format);
  const uint32_t minor = FormatMinor(stored.format);
  uint64_t header = 0;
  switch (major) {
    case FMT_WAV: header = kWavHeaderBytes; break;
    case FMT_AIFF: header = kAiffHeaderBytes; break;
    case FMT_AU:
    case FMT_AU_LE: header = kAuHeaderBytes; break;
    case FMT_RAW: break;
    default: return std::nullopt;
  }
  // The encodings the restoration writes in each: linear PCM in the
  // container's own byte order in the containers; either order, and one
  // byte signed or unsigned, headerless; big-endian in AIFF too.
  const bool pcm = (minor == FMT_PCM && major != FMT_RAW) || (minor == FMT_PCM_BE && (major == FMT_AIFF || major == FMT_RAW)) ||
                   (minor == FMT_PCM_LE && major == FMT_RAW);
  const bool oneByte = (minor == FMT_PCM_S8 || minor == FMT_PCM_U8) && major == FMT_RAW && stored.pcmbitwidth == 8;
  // Headerless files take whole bytes only.
  if ((!pcm && !oneByte) || (major == FMT_RAW && stored.pcmbitwidth % 8 != 0)) return std::nullopt;
  const uint64_t data = DataBytes(stored, uint64_t{stored.samples} * stored.channels);
  // RIFF and IFF chunks end on an even offset.
  return header + data + (major == FMT_WAV || major == FMT_AIFF ? data & 1 : 0);
}

}  // namespace

std::optional<RestoredSize> RestoredSizeOf(const AudioInfo& stored) {
  if (IsCodecFormat(stored.format)) return std::nullopt;
  const uint64_t samples = uint64_t{stored.samples} * stored.channels;
  return RestoredSize{DataBytes(stored, samples) + kHeaderAllowanceBytes + kPeakBytesPerChannel * stored.channels,
                      ExactBytes(stored)};
}
