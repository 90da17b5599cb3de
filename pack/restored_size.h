// SPDX-License-Identifier: GPL-2.0-or-later
// The size of the file that restoring an Audio entry writes, from the
// entry's stored description alone, before anything is decoded: a bound
// for every container and encoding the audio layer writes, and the exact
// size for the layouts libsndfile writes with a header of fixed size.
#pragma once

#include <cstdint>
#include <optional>

#include "audio/stream/audio_info.h"

struct RestoredSize {
  uint64_t mostBytes = 0;  // the file takes at most this many bytes (with
                           // room for any header the container may have)
  // Exactly this many: WAV, AIFF, AU and headerless files of linear PCM,
  // 8 to 32 bits, in descriptions a restoration accepts.
  std::optional<uint64_t> exactBytes;
};

// The size of the file `stored` describes, as the audio layer writes it, or
// none for a codec format (Ogg Vorbis, AAC, VQF), whose size only its
// encoder knows.
[[nodiscard]] std::optional<RestoredSize> RestoredSizeOf(const AudioInfo& stored);
