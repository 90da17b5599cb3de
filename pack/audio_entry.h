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
//   -3  `storedInfo` describes no stream that can be restored: channels
//       outside 1..256, a sample rate of 0, a bit width outside 1..32, or
//       more than 2^31 - 1 samples (all channels together);
//   -4  the packed stream cannot be opened (or is empty), describes itself
//       in the same impossible ways, announces more samples than its bytes
//       can hold, or cannot be brought to the stored rate;
//   -1  memory for the samples cannot be had;
//   -2  the output cannot be created, written, completed or measured;
//   -6  the destination keeps the file already under the output's name.
// Nothing is written under the output's name unless the result is 0. `reason`,
// when given, receives one line on failure. The pack file stays open and
// belongs to the caller; its position afterwards is undefined.
[[nodiscard]] int RestoreAudioEntry(const pack_internal::OutputFile& output, const AudioInfo& storedInfo,
                                    platform::File& packFile, const char* entryName, uint32_t packedSize,
                                    uint32_t* unpackedSize, uint32_t streamFormat, std::string* reason = nullptr);

// Decodes and converts the packed stream as RestoreAudioEntry does, without
// writing anything. Returns 0, or -3, -4, -1 as above; also -4 when the
// stream delivers fewer samples than it announced.
[[nodiscard]] int CheckAudioEntry(const AudioInfo& storedInfo, platform::File& packFile, const char* entryName,
                                  uint32_t packedSize, uint32_t streamFormat, std::string* reason = nullptr);
