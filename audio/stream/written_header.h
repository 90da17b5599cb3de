// SPDX-License-Identifier: GPL-2.0-or-later
// Header fields libsndfile does not write as this layer needs them: the
// frame count of a WAV of a block encoding, and the time of a PEAK chunk.
#pragma once

#include "audio/stream/stream_module.h"

// A WAV stream of IMA ADPCM, Microsoft ADPCM or GSM 06.10 being read holds
// the frames its fact chunk declares, when that is fewer than its blocks
// hold (the last block is padded): lowers stream.info.samples to it.
void BoundFramesByFactChunk(AudioStream& stream);

// Completes the header of a WAV or AIFF stream libsndfile has written and
// closed: a WAV of a block encoding declares in its fact chunk the frames
// written (stream.current), not the padded blocks; with SOURCE_DATE_EPOCH
// set, a PEAK chunk's time is that time (low 32 bits), so the same samples
// give the same bytes. Returns false when the file refuses a read or write.
[[nodiscard]] bool MendWrittenHeader(AudioStream& stream);
