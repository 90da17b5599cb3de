// The Ogg Vorbis format module (FMT_OGG).
//
// Neither direction works piece by piece. Opening for reading decodes the
// whole stream into memory; reads are then served from there. Opening for
// writing collects every sample in memory; the close encodes them all and
// writes the Ogg pages at the file's position. The codecs are reached through
// the codec library binding, loaded on first use.
#pragma once

#include "audio/stream/stream_module.h"

// Opens for reading the Ogg Vorbis stream in the window of stream.filelength
// bytes from stream.fileoffset; no byte past the window is read. Decodes it
// whole (16-bit samples, truncated toward zero, clipped) and fills
// stream.info, the layout fields and the readShort and close slots.
// Returns 0; 84 or 85 when libogg or libvorbis cannot be loaded; 83 when the
// window does not begin with a readable Vorbis stream (not Ogg, not Vorbis,
// a damaged page or packet, headers cut short) or decodes to more samples
// than MaxCodecSamples of the bytes read so far; 8 when memory runs out or
// the stream holds no samples; 19 when the file cannot be read or ends
// inside the window (stream.systemError then holds errno, if any). On
// failure codecdata stays empty.
// REQUIRES: file, fileoffset, filelength and mode are set.
[[nodiscard]] int OggVorbisOpenRead(AudioStream& stream);

// Opens for writing: nothing is written until the close. Fills the layout
// fields (16-bit samples) and the writeShort and close slots. The close
// encodes in managed mode (info.bitrate, minBitrate, maxBitrate) when
// info.quality is -1.0 or 0.0, otherwise in quality mode, and returns 0; 21
// when libvorbisenc refuses the settings (nothing is written then); 20 when
// a page cannot be written (stream.systemError holds errno). The stream's
// serial number comes from srand seeded with SOURCE_DATE_EPOCH when it is
// set to a whole number of seconds, else with the current time.
// Returns 0, or 84, 85, 86 when libogg, libvorbis or libvorbisenc cannot be
// loaded (those loaded before stay loaded), or 8.
// REQUIRES: file, mode and info (channels, samplerate, and the bit rates or
// quality) are set.
[[nodiscard]] int OggVorbisOpenWrite(AudioStream& stream);
