// SPDX-License-Identifier: GPL-2.0-or-later
// The readers of headerless samples (FMT_RAW and the headerless AU code):
// no header describes the window, which holds nothing but samples.
#pragma once

#include "audio/stream/stream_module.h"

// Opens for reading headerless samples with the caller's description in
// stream.info: channels, pcmbitwidth and a minor code FMT_PCM_BE, FMT_PCM_LE,
// FMT_PCM_S8 or FMT_PCM_U8 (else 51; a width that is no multiple of 8, 52;
// above 32 bits, 11). The frames are the whole frames the window holds.
[[nodiscard]] int RawOpenRead(AudioStream& stream);

// Opens for reading a headerless AU stream: u-law, 8000 Hz, one channel,
// pcmbitwidth 16, format 0x30003, one frame per byte of the window.
[[nodiscard]] int HeaderlessUlawOpenRead(AudioStream& stream);
