// Audio packing for spoolpack create: the packing modes and the packing of
// one audio file into an Audio pack, with the trial restoration that keeps
// the lossless modes lossless.
#pragma once

#include <cstdint>
#include <string>

#include "audio/stream/audio_stream.h"
#include "pack/pack.h"
#include "platform/platform.h"

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
  float quality = 0.4f;     // Ogg Vorbis quality, -0.1 .. 1.0 (oggenc's -1 .. 10 over 10)
  uint32_t bitrate = 64000;  // AAC or VQF bits per second per channel; VQF's 0: the highest of the rate
};

// Parses "none", "keep", "pcm", "ogg[:QUALITY]" (QUALITY from -1 to 10 as
// oggenc takes it, 4 when left out), "aac[:KBPS]" (kbit/s per channel, a
// whole number from 8 to 256, 64 when left out) or "vqf[:KBPS]" (one of the
// VQF bit rates per channel: 8, 10, 16, 20, 24, 32, 40, 48). Returns false
// with *error set for anything else.
[[nodiscard]] bool ParseAudioMode(const std::string& text, AudioChoice* choice, std::string* error);

// A file the audio stream layer reads, open at its start. Stays in place
// while open: the stream refers to its file.
struct AudioSource {
  AudioSource() = default;
  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;

  std::string path;
  platform::File file;
  AudioInfo info;  // as the layer reads it: what the entry stores
  StreamPtr stream;
  uint64_t bytes = 0;  // the file's length
};

// Opens `path` as the layer recognises it (format 0). Returns false when the
// file cannot be read or is no stream the layer can open; *why then says
// why a file of a codec format (VQF, Ogg Vorbis, AAC) could not be read,
// for example its codec library missing, and is empty for any other file.
[[nodiscard]] bool OpenAudioSource(const std::string& path, AudioSource* source, std::string* why);

enum class AudioPackResult {
  kPacked,    // the entry was added to the pack
  kFallBack,  // not packed as audio (see *why); the pack is as before
  kFailed,    // the pack could not be written (see *why); it cannot finish
};

// Writes the packed stream of `source` for `choice` at the pack's data end
// and adds its record as entry `name`. With keep and pcm the entry is only
// added when restoring it (as `trialPath`, removed again) gives the source's
// bytes exactly; with ogg, aac and vqf when the layer can write the stored
// description back. With vqf the stream has the VQF rate nearest the
// source's, to which the samples are converted (restoration converts them
// back), and that rate's bit rate nearest choice.bitrate; more than 2 channels,
// and a rate more than 1.5 times away from every VQF rate, fall back.
// REQUIRES: an Audio pack in write mode; choice.mode is not kNone.
[[nodiscard]] AudioPackResult PackAudio(PackHandle& pack, const std::string& name, AudioSource& source,
                                        const AudioChoice& choice, const std::string& trialPath, std::string* why);
