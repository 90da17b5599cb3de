// The length of a restored audio file from its stored description alone,
// for the layouts libsndfile writes with a header of fixed size: linear PCM
// in WAV, AIFF, AU and headerless files. The samples take whole bytes (the
// narrowest of 1 to 4 that holds the bit width), and nothing but the header
// and the data (and the pad byte of WAV and AIFF after odd data) is written.
#include "pack/pack_entry_reader.h"

namespace {

// Header bytes before the samples:
//   WAV:  "RIFF" chunk (12), "fmt " chunk of 16 bytes (24), "data" header (8)
//   AIFF: "FORM" chunk (12), "COMM" chunk of 18 bytes (26), "SSND" header,
//         offset and block size (16)
//   AU:   the six 32-bit fields of ".snd" (24)
constexpr uint64_t kWavHeaderBytes = 44;
constexpr uint64_t kAiffHeaderBytes = 54;
constexpr uint64_t kAuHeaderBytes = 24;

// The descriptions a restoration accepts (see pack/audio_entry.h).
bool Plausible(const AudioInfo& info) {
  return info.channels >= 1 && info.channels <= 256 && info.samplerate >= 1000 && info.samplerate <= 768000 &&
         info.pcmbitwidth >= 1 && info.pcmbitwidth <= 32 && uint64_t{info.samples} * info.channels <= INT32_MAX;
}

}  // namespace

bool RestoredSizeFromDescription(const AudioInfo& stored, uint64_t* size) {
  if (!Plausible(stored) || stored.pcmbitwidth < 8) return false;
  const uint32_t major = FormatMajor(stored.format);
  const uint32_t minor = FormatMinor(stored.format);
  uint64_t header = 0;
  switch (major) {
    case FMT_WAV: header = kWavHeaderBytes; break;
    case FMT_AIFF: header = kAiffHeaderBytes; break;
    case FMT_AU:
    case FMT_AU_LE: header = kAuHeaderBytes; break;
    case FMT_RAW: break;
    default: return false;
  }
  // The encodings the restoration writes in each: linear PCM in the
  // container's own byte order in the containers; either order, and one
  // byte signed or unsigned, headerless; big-endian in AIFF too.
  const bool pcm = (minor == FMT_PCM && major != FMT_RAW) || (minor == FMT_PCM_BE && (major == FMT_AIFF || major == FMT_RAW)) ||
                   (minor == FMT_PCM_LE && major == FMT_RAW);
  const bool oneByte = (minor == FMT_PCM_S8 || minor == FMT_PCM_U8) && major == FMT_RAW && stored.pcmbitwidth == 8;
  // Headerless files take whole bytes only.
  if ((!pcm && !oneByte) || (major == FMT_RAW && stored.pcmbitwidth % 8 != 0)) return false;
  const uint64_t data = uint64_t{stored.samples} * stored.channels * ((stored.pcmbitwidth + 7) / 8);
  // RIFF and IFF chunks end on an even offset.
  *size = header + data + (major == FMT_WAV || major == FMT_AIFF ? data & 1 : 0);
  return true;
}
