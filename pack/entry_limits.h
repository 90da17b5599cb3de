// SPDX-License-Identifier: GPL-2.0-or-later
// The expansion limits of entries (see ExpansionLimits in pack.h): what an
// Audio entry's restored file may take, computed from its stored
// description before anything is decoded, and the run's output allowance.
// Internal to pack/.
#pragma once

#include <cstdint>
#include <string>

#include "audio/stream/audio_info.h"
#include "pack/pack.h"

namespace pack_internal {

// The most bytes an Audio entry's restored file may take, and the limit
// that sets it, in words for a message.
struct AudioOutputLimit {
  uint64_t bytes = 0;
  std::string limit;
};

// Sets *limit for restoring an Audio entry of `packedSize` bytes described
// by `stored` under `budget` (none: the per-entry limits alone) and checks
// what can be checked before anything is decoded or allocated: the file's
// size where RestoredSizeOf knows it, and the 16-bit samples held in
// memory. Returns 0, or -3 with `reason` naming the limit.
[[nodiscard]] int LimitAudioOutput(const AudioInfo& stored, uint32_t packedSize, const OutputBudget* budget,
                                   AudioOutputLimit* limit, std::string* reason);

// After a write of a restored file failed: when the file has `written`
// bytes, as many as `limit` allows, the write met the limit; returns -3
// with `reason` naming it. Otherwise returns 0 and leaves `reason`.
[[nodiscard]] int AudioLimitReached(const AudioOutputLimit& limit, uint64_t written, std::string* reason);

// Before an entry of at most `bytes` bytes is written (or read without an
// output): whether they fit what is left of `budget` (none: always).
// Returns 0, or -3 with `reason` naming the limit.
[[nodiscard]] int ReserveOutput(const OutputBudget* budget, uint64_t bytes, std::string* reason);

// Counts `bytes` written (or read) against `budget`, when there is one.
void ChargeOutput(OutputBudget* budget, uint64_t bytes);

}  // namespace pack_internal
