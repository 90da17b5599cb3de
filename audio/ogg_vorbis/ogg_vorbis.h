// SPDX-License-Identifier: GPL-2.0-or-later
// The Ogg Vorbis format module (FMT_OGG).
//
// Both directions work piece by piece, in bounded memory. Opening for
// reading counts the frames the stream decodes to (libvorbis times every
// block without synthesis); reads then decode as they go. A stream opened
// for writing encodes the samples as they arrive and writes the Ogg pages at
// the file's position as they complete; the close encodes the rest. The
// codecs are reached through the codec library binding, loaded on first use.
#pragma once

#include "audio/stream/stream_module.h"

// Opens for reading the Ogg Vorbis stream in the window of stream.filelength
// bytes from stream.fileoffset; no byte past the window is read. Reads the
// window through once to count its frames (stream.info.samples, exactly
// what reads deliver) and fills stream.info, the layout fields and the
// readShort and close slots; reads decode 16-bit samples (truncated toward
// zero, clipped). A read that fails later, or a stream that then decodes
// otherwise than counted, sets the stream's error (19, or 83).
// Returns 0; 84 or 85 when libogg or libvorbis cannot be loaded; 83 when the
// window does not begin with a readable Vorbis stream (not Ogg, not Vorbis,
// a damaged page or packet, headers cut short) or decodes to more samples
// than MaxCodecSamples of the bytes read so far; 8 when memory runs out or
// the stream holds no samples; 19 when the file cannot be read or ends
// inside the window (stream.systemError then holds errno, if any). On
// failure codecdata stays empty.
// REQUIRES: file, fileoffset, filelength and mode are set.
[[nodiscard]] int OggVorbisOpenRead(AudioStream& stream);

// Opens for writing: sets the encoder up and writes the header pages. Fills
// the layout fields (16-bit samples) and the writeShort and close slots.
// Encodes in managed mode (info.bitrate, minBitrate, maxBitrate) when
// info.quality is -1.0 or 0.0, otherwise in quality mode. Writes accept
// every sample; the close returns 0, 21 when libvorbisenc refused the
// settings (nothing is written then), or 20 when a page could not be
// written (stream.systemError holds errno). The stream's serial number is
// the first value of glibc's rand() after srand(SOURCE_DATE_EPOCH) when
// that is set to a whole number of seconds, else after srand(current
// time), modulo 32768, computed from that seed alone.
// Returns 0, or 84, 85, 86 when libogg, libvorbis or libvorbisenc cannot be
// loaded (those loaded before stay loaded), or 8.
// REQUIRES: file, mode and info (channels, samplerate, and the bit rates or
// quality) are set.
[[nodiscard]] int OggVorbisOpenWrite(AudioStream& stream);
