// SPDX-License-Identifier: GPL-2.0-or-later
// Creating Audio entries: a file the audio stream layer reads goes into an
// Audio pack as its own bytes, as its samples in a WAV stream, or re-encoded
// as Ogg Vorbis, AAC or VQF, with the description of the source that the
// restoration brings it back to. The lossless modes are tried: an entry is
// only added when restoring it gives the source's exact bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pack/pack.h"

// How an audio file's stream is packed.
enum class AudioMode {
  kNone,  // not as audio: an ordinary file
  kKeep,  // the file's own bytes
  kPcm,   // its samples as a WAV stream (8 bits, or 16 for wider sources)
  kOgg,   // re-encoded as Ogg Vorbis at `quality`
  kAac,   // re-encoded as AAC (ADTS, low complexity) at `bitrate`
  kVqf,   // re-encoded as VQF at the mode nearest the source and `bitrate`
};

struct AudioChoice {
  AudioMode mode = AudioMode::kKeep;
  double quality = 4;        // Ogg Vorbis quality as oggenc takes it, -1 to 10
  uint32_t bitrate = 64000;  // AAC or VQF bits per second per channel; VQF's 0: the highest of the rate
};

// The sample rates (Hz) and the bit rates (kbit/s per channel) of the VQF
// modes, each once and in the order of the TwinVQ mode table, joined by ", "
// with `last` before the last one: VqfSampleRates(" and ") gives "8000,
// 11025, 22050 and 44100".
[[nodiscard]] std::string VqfSampleRates(const char* last);
[[nodiscard]] std::string VqfBitRates(const char* last);
// Whether some VQF mode has `kbps` kbit/s per channel.
[[nodiscard]] bool IsVqfBitRate(double kbps);

// A file the audio stream layer reads, open at its start.
struct AudioSource;
struct AudioSourceCloser {
  void operator()(AudioSource* source) const;
};
using AudioSourcePtr = std::unique_ptr<AudioSource, AudioSourceCloser>;

// Opens `path` as the layer recognises it (format 0). Returns null when the
// file cannot be read or is no stream the layer can open; *why then says
// why a file of a codec format (VQF, Ogg Vorbis, AAC) could not be read,
// for example its codec library missing, and is empty for any other file.
[[nodiscard]] AudioSourcePtr OpenAudioSource(const std::string& path, std::string* why);

// The length of the source file in bytes.
[[nodiscard]] uint64_t AudioSourceBytes(const AudioSource& source);

enum class AudioPackResult {
  kPacked,    // the entry was added to the pack
  kFallBack,  // not packed as audio (see *why); the pack is as before
  kFailed,    // the pack could not be written (see *why); it cannot finish
};

// Writes the packed stream of `source` for `choice` at the pack's data end
// and adds its record as entry `name`. With keep and pcm the entry is only
// added when restoring it (as `trialPath`, a '/'-separated path in a folder
// of the caller's, removed again) gives the source's bytes exactly; with
// ogg, aac and vqf when the layer can write the stored description back.
// With vqf the stream has the VQF rate nearest the source's, to which the
// samples are converted (restoration converts them back), and that rate's
// bit rate nearest choice.bitrate; more than 2 channels, and a rate more
// than 1.5 times away from every VQF rate, fall back.
// REQUIRES: an Audio pack in write mode; choice.mode is not kNone.
[[nodiscard]] AudioPackResult AppendAudioEntry(PackHandle& pack, const std::string& name, AudioSource& source,
                                               const AudioChoice& choice, const std::string& trialPath,
                                               std::string* why);
