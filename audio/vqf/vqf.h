// SPDX-License-Identifier: GPL-2.0-or-later
// The VQF format module (FMT_VQF): TwinVQ-coded audio in a small chunked
// container of big-endian numbers that begins with "TWIN97012000".
//
// Both directions work a frame at a time, so that memory stays bounded
// whatever the stream's length. Opening for reading counts the frames with
// the frame reader alone; reads decode them one by one. A stream opened for
// writing encodes each frame as its samples arrive; the close completes it.
// The TwinVQ decoder and encoder libraries are reached through the codec
// library binding, loaded on first use. Each library codes one stream at a
// time: a stream holds the decoder from its first read to its last frame,
// and the encoder from its first samples to its close.
#pragma once

#include "audio/stream/stream_module.h"

// Opens for reading the VQF stream in the window of stream.filelength bytes
// from stream.fileoffset; neither the header walk nor the frame reader reads
// past the window. The stream delivers every frame the reader accepts but
// the first two (the coder's delay), decoded and clipped to the 16-bit
// range; reads decode them as they go (a block that cannot be read then
// ends the stream with stream.error 19).
// Fills stream.info (16-bit samples, the header's rate: the code of a mode
// of kTvqModes (twinvq.h) reads as its rate, 11 as 11025 Hz, any other v as
// v x 1000 Hz; bitrate in
// bit/s per channel from the header's kbit/s of the whole stream, so that
// the stream written back has the same bit rate), the layout fields and the
// readShort and close slots.
// Returns 0; 79 when the decoder library cannot be loaded; 71 when the
// window holds no "DATA" id after the chunks; 75 for a "COMM" chunk shorter
// than 16 bytes; 71 to 76 as the decoder's set-up refuses the header; 77
// when the frame reader does not know the version; 8 when memory runs out or
// fewer than three frames are accepted. On failure codecdata stays empty.
// REQUIRES: file, fileoffset, filelength and mode are set.
[[nodiscard]] int VqfOpenRead(AudioStream& stream);

// Opens for writing: nothing is written before the first samples. Fills the
// layout fields (16-bit samples) and the writeShort and close slots. Returns
// 0, 79 when the encoder library cannot be loaded, or 8.
// Writes take any number of samples (8 in place of a count past 2^31 - 1
// samples in all) and write the header, then each whole frame, at the
// file's position. The close writes nothing for a stream without samples.
// Otherwise it returns 0 once the stream is complete: the whole frames, one
// frame holding the rest padded with silence, and two silent frames. It
// returns 78 for a sample rate that is neither a mode's rate nor its code
// times 1000 (8000, 11000, 11025, 22000, 22050, 44000 and 44100 Hz with
// kTvqModes; nothing written); 71 to 76 when the encoder refuses the header
// (the header is written); 8; or 20 when the file refuses a write. The
// writes of a stream that fails this way take their samples all the same.
// REQUIRES: file, mode and info (channels, samplerate, bitrate in bit/s per
// channel, codecOption) are set.
[[nodiscard]] int VqfOpenWrite(AudioStream& stream);
