// SPDX-License-Identifier: GPL-2.0-or-later
// The AAC format module (FMT_MP4): raw, ADIF and ADTS streams.
//
// Both directions work a frame at a time, so that memory stays bounded
// whatever the stream's length. Opening for reading decodes the whole
// stream with faad2 once to count its samples and find its faults, keeping
// the samples: up to kAacKeptSamples in memory, a longer stream's in an
// unnamed file in $TMPDIR (or /tmp), read back a block at a time; only
// where that file cannot be made or written do reads decode the stream
// again as they go. A stream opened for writing encodes with the AAC encoder library
// (faac's entry points, libmp4enc) as its samples arrive and writes an ADTS
// stream at the file's position; the close completes it. Both libraries are
// reached through the codec library binding, loaded on first use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/stream/stream_module.h"

// What the header probe finds; 0 where it finds nothing.
struct AacHeaderInfo {
  int32_t channels = 0;
  int32_t samplerate = 0;  // Hz
  int32_t bitrate = 0;     // bits per second
};

// Most samples (all channels together; 8 MiB, 47 s of stereo at 44100 Hz)
// that the open for reading keeps in memory from its count; a longer
// stream's go to the spill file in blocks of this many.
inline constexpr int64_t kAacKeptSamples = int64_t{1} << 22;

// ProbeAacHeader's results for a header whose sampling-frequency index lies
// outside the table (12 to 15), for a window that cannot be read, and when
// memory is refused.
inline constexpr int64_t kAacInvalidHeader = -1;
inline constexpr int64_t kAacUnreadable = -2;
inline constexpr int64_t kAacNoMemory = -3;

// Probes the stream's window (stream.filelength bytes from
// stream.fileoffset), reading it a piece at a time: an ID3v2 tag is
// skipped; then an ADIF header gives the bitrate and sample rate (no
// channel count), or ADTS frames give the channels and sample rate of the
// first header and the bitrate of the frames that lie wholly in the window
// (the scan ends at a frame length below 7 bytes, a frame running past the
// end, or a header without the sync pattern); anything else is a raw
// stream: 2 channels, 44100 Hz, 128000 bit/s. Bytes beginning "AD" but not
// "ADIF" give nothing. Returns the bytes the tag takes (where the audio
// data begins; at most the window's), kAacInvalidHeader, kAacNoMemory, or
// kAacUnreadable (stream.systemError then holds errno, if any).
// REQUIRES: the window lies within the file.
[[nodiscard]] int64_t ProbeAacHeader(AudioStream& stream, AacHeaderInfo* info);

// Opens for reading the AAC stream in the window of stream.filelength bytes
// from stream.fileoffset; no byte past the window is read or handed to the
// decoder. The stream delivers exactly what the decoder returns for each
// frame, 16-bit samples; stream.info gets channels and sample rate as the
// decoder reports them for the first frame, else as the probe found them,
// and the bitrate from the probe; then the layout fields and the readShort
// and close slots. faad2 returns mono streams as two equal channels; it is
// told to decode streams of 24000 Hz and below at their own rate (it would
// otherwise double it, for the band replication such a stream may carry,
// and delay the samples). Returns 0; 82 when faad2 cannot be loaded (the
// log says why); 81 when the stream cannot be decoded (an invalid
// sampling-frequency index, a frame in error, a frame that consumes nothing,
// frames that change the channel count or rate, more samples than
// MaxCodecSamples of the bytes consumed so far); 8 when memory runs out, no
// decoder is had, the samples pass 2^31 - 1, or neither the decoder nor the
// probe knows the channel count; 19 when the window cannot be read
// (stream.systemError then holds errno, if any). On failure codecdata stays
// empty. A read that finds the window unreadable ends the stream with
// stream.error 19.
// REQUIRES: file, fileoffset, filelength and mode are set.
[[nodiscard]] int AacOpenRead(AudioStream& stream);

// Opens for writing: fills the layout fields (16-bit samples) and the
// writeShort and close slots, and sets the encoder up. Writes take any
// number of samples (8 in place of a count past 2^31 - 1 samples in all)
// and write each coded frame as the encoder gives it. The close flushes the
// encoder: an ADTS stream of MPEG-4 AAC, low complexity when
// info.codecOption is 1 and main otherwise, at info.bitrate bits per second
// per channel (0: the encoder's default). It returns 0; 21 when the encoder
// refuses the rate, channel count or settings (nothing is written then); 80
// when the encoder fails; 20 when the file cannot be written
// (stream.systemError holds errno). The writes of a stream that fails this
// way take their samples all the same.
// Returns 0, or 82 when the encoder library cannot be loaded, or 8.
// REQUIRES: file, mode and info (channels, samplerate, bitrate, codecOption)
// are set.
[[nodiscard]] int AacOpenWrite(AudioStream& stream);
