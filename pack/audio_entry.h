// Restoration of one Audio pack entry as a file of the source's own kind.
#pragma once

#include <cstdint>
#include <string>

#include "audio/stream/audio_info.h"
#include "platform/platform.h"

// Decodes the packed stream of `packedSize` bytes that begins at `packFile`'s
// current position, brings it to `storedInfo` and writes it as `outputPath`
// (a Linux path). `entryName` names the stream (its extension helps to
// recognise a headerless stream); `streamFormat` is the stream's format code,
// 0 to recognise it. Returns 0 with *unpackedSize set to the length of the
// file written; -4 when the packed stream cannot be opened; -1 when the
// sample buffer cannot be had; -2 when the output cannot be written. The pack
// file stays open and belongs to the caller.
[[nodiscard]] int RestoreAudioEntry(const std::string& outputPath, const AudioInfo& storedInfo,
                                    platform::File& packFile, const char* entryName, uint32_t packedSize,
                                    uint32_t* unpackedSize, uint32_t streamFormat);
