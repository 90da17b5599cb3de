// SPDX-License-Identifier: GPL-2.0-or-later
// The TwinVQ frame reader and writer: every field of one coded frame moved
// between a bitstream and the frame index record, in the frame's fixed order
// and with the widths of the configuration and width tables the libraries
// hand out. Frames are not padded: the next frame starts at the next bit.
//
// The decoder's and the encoder's configuration and width tables are two
// process-wide sets, filled by init_frame_reader and init_frame_writer and
// changed in place by the block-type-2 update. Single-threaded.
#pragma once

#include <cstdint>

#include "audio/vqf/vqf_bitstream.h"
#include "codecs/twinvq/twinvq.h"

// Sets up reading from the decoder library. Returns 0, or 1 when the
// decoder does not know the version in header.id.
// REQUIRES: the decoder library is initialised for this stream.
[[nodiscard]] int init_frame_reader(const VqfHeaderInfo& header);

// Reads one frame into `index` (whose arrays the decoder provides). Returns
// 1 when the frame was read whole and holds the decoder's bits per frame; 0
// at the end of the stream, for a window type the decoder rejects (nothing
// after it is read), or for a block type outside 0 to 2.
[[nodiscard]] int read_vqf_frame(VqfFrameIndex* index, BitstreamFile* bitstream);

// Sets up writing from the encoder library.
void init_frame_writer();

// Writes the frame held in `index`, of the block type the encoder set. A
// value too wide for its field is written by its low bits and reported by
// one line on standard output. A block type outside 0 to 2 writes the
// window type alone.
void write_vqf_frame(const VqfFrameIndex* index, BitstreamFile* bitstream);
