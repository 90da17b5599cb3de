// The VQF format module (FMT_VQF): TwinVQ-coded audio in a small chunked
// container of big-endian numbers that begins with "TWIN97012000".
//
// Neither direction works piece by piece. Opening for reading decodes the
// whole stream into a store of float samples; reads are served from there.
// Opening for writing collects every sample; the close writes the 44-byte
// header and all coded frames. The TwinVQ decoder and encoder libraries are
// reached through the codec library binding, loaded on first use.
#pragma once

#include "audio/stream/stream_module.h"

// Opens for reading the VQF stream in the window of stream.filelength bytes
// from stream.fileoffset; neither the header walk nor the frame reader reads
// past the window. Decodes every frame the reader accepts, drops the first
// two (the coder's delay) and keeps the rest, clipped to the 16-bit range.
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

// Opens for writing: nothing is written until the close. Fills the layout
// fields (16-bit samples) and the writeShort and close slots. Returns 0, 79
// when the encoder library cannot be loaded, or 8.
// The close writes nothing for a stream without samples. Otherwise it
// returns 0 once the header and every frame are written at the file's
// position: the whole frames, one frame holding the rest padded with
// silence, and two silent frames. It returns 78 for a sample rate that is
// neither a mode's rate nor its code times 1000 (8000, 11000, 11025, 22000,
// 22050, 44000 and 44100 Hz with kTvqModes; nothing written); 71
// to 76 when the encoder refuses the header (the header is written); 8; or
// 20 when the file refuses a write.
// REQUIRES: file, mode and info (channels, samplerate, bitrate in bit/s per
// channel, codecOption) are set.
[[nodiscard]] int VqfOpenWrite(AudioStream& stream);
