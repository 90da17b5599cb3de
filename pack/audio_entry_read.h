// SPDX-License-Identifier: GPL-2.0-or-later
// Restoration of one Audio pack entry as a file of the source's own kind.
#pragma once

#include <cstdint>
#include <string>

#include "audio/stream/audio_info.h"
#include "pack/pack_internal.h"
#include "platform/platform.h"

// Decodes the packed stream of `packedSize` bytes that begins at `packFile`'s
// current position, brings it to `storedInfo` and writes it as `output`
// through a pending file (pack_internal::CreateOutput), made before anything
// is decoded, that is renamed into place only when complete (or, for a
// stream output, copied to the stream). `entryName` names the stream (its extension helps to
// recognise a headerless stream); `streamFormat` is the stream's format code,
// 0 to recognise it. Returns 0 with *unpackedSize set to the length of the
// file written (low 32 bits), or:
//   -3  `storedInfo` describes no stream that can be restored (channels
//       outside 1..256, a sample rate outside 1000..768000 Hz, a bit width
//       outside 1..32, more than 2^31 - 1 samples of all channels), or none
//       the packed stream can be the source of: a rate more than 64 times
//       the stream's or less than a 64th of it, or more frames than the
//       stream's, brought to the stored rate, plus one second (of at most
//       2^20 samples) or 1 % of them (a codec's padding), whichever is more;
//   -4  the packed stream cannot be opened (or is empty), describes itself
//       in the same impossible ways, announces more samples than its bytes
//       can hold, cannot be read whole (a read of the pack fails) or
//       delivers fewer samples than it announces, or cannot be brought to
//       the stored rate;
//   -3  also: the restored file, or the samples held to make it, would pass
//       the expansion limits of output.budget (see ExpansionLimits), found
//       from `storedInfo` before anything is decoded where the file's size
//       can be computed, else as the file is written;
//   -1  memory for the samples cannot be had;
//   -2  the output cannot be created, written, completed or measured;
//   -6  the destination keeps the file already under the output's name.
// Every check of -3 and -4 but the reading comes before anything is
// allocated for the samples. A stream shorter than the stored frame count
// (within the padding) ends in silence.
// Nothing is written under the output's name unless the result is 0.
// `reason`, when given, receives one line on failure (with the system's
// reason for a failed write). The pack file stays open and belongs to the
// caller; its position afterwards is undefined.
[[nodiscard]] int RestoreAudioEntry(const pack_internal::OutputFile& output, const AudioInfo& storedInfo,
                                    platform::File& packFile, const char* entryName, uint32_t packedSize,
                                    uint32_t* unpackedSize, uint32_t streamFormat, std::string* reason = nullptr);

// Decodes and converts the packed stream as RestoreAudioEntry does, without
// writing anything, and counts the restored file's size against `budget`
// where it is known without encoding (see RestoredSizeOf): 0 when
// restoring would write the entry (a codec format's file may still meet
// the limits as it is encoded). Returns 0, or -3, -4, -1 as above.
[[nodiscard]] int CheckAudioEntry(const AudioInfo& storedInfo, platform::File& packFile, const char* entryName,
                                  uint32_t packedSize, uint32_t streamFormat, OutputBudget* budget,
                                  std::string* reason = nullptr);
