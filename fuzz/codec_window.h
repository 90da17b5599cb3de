// SPDX-License-Identifier: GPL-2.0-or-later
// The window the codec-module fuzz targets open their input in, and the
// checks after the open. The file holds a few bytes of a previous entry,
// then the stream (`prefix` followed by the input), then the stream again,
// so that a module reading past its window would find more stream.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "audio/stream/stream_module.h"

struct CodecWindow {
  platform::File file;
  std::unique_ptr<AudioStream> stream;
};

// Lays the file out and makes a stream record for reading the window, as
// the stream layer makes one. False when the memory file cannot be made.
inline bool MakeCodecWindow(std::string_view prefix, const uint8_t* data, size_t size, CodecWindow& w) {
  static const char kBefore[] = "previous entry";
  const size_t prefixBytes = prefix.size();
  w.file = platform::File(::memfd_create("codec-fuzz", MFD_CLOEXEC));
  if (!w.file.IsOpen() || platform::WriteFile(w.file, kBefore, sizeof kBefore) != sizeof kBefore) return false;
  for (int copy = 0; copy < 2; ++copy) {
    if (platform::WriteFile(w.file, prefix.data(), prefixBytes) != static_cast<int64_t>(prefixBytes) ||
        platform::WriteFile(w.file, data, size) != static_cast<int64_t>(size)) {
      return false;
    }
  }
  platform::SeekFile(w.file, sizeof kBefore, platform::SeekOrigin::kBegin);
  w.stream = std::make_unique<AudioStream>();
  w.stream->magic = kStreamMagic;
  w.stream->file = &w.file;
  w.stream->fileoffset = sizeof kBefore;
  w.stream->filelength = static_cast<int64_t>(prefixBytes + size);
  w.stream->mode = kStreamModeRead;
  w.stream->info.quality = kQualityNotSet;
  return true;
}

// After a module's open that yielded `result`: an opened stream delivers
// exactly the whole frames it announces, a failed open leaves nothing
// behind; anything else aborts. Then the module's close.
inline void CheckOpenedAndClose(AudioStream& stream, int result) {
  if (result == 0) {
    int16_t piece[4096];
    uint64_t delivered = 0;
    for (int64_t n; (n = stream.readShort(stream, piece, 4096)) > 0;) delivered += static_cast<uint64_t>(n);
    if (stream.info.channels == 0 || delivered != uint64_t{stream.info.samples} * stream.info.channels) {
      std::abort();
    }
  } else if (stream.codecdata != nullptr) {
    std::abort();
  }
  if (stream.close != nullptr) (void)stream.close(stream);
}
