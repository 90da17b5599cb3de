// SPDX-License-Identifier: GPL-2.0-or-later
// The shared body of the codec benchmarks: a file decoded, or raw samples
// encoded, through a codec module the way the stream layer drives it
// (4096-sample reads and writes).
#pragma once

#include <cstdio>
#include <memory>
#include <vector>

#include "audio/stream/stream_module.h"

inline constexpr int64_t kBenchPieceSamples = 4096;

// Decodes the file at `path` with the module's open for reading and reads
// every sample. Returns 0, 1 when the open fails, 2 when the file cannot
// be opened.
inline int BenchDecode(const char* path, ModuleOpenFn open) {
  platform::File file = platform::OpenExistingReadOnly(path);
  if (!file.IsOpen()) return 2;
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->filelength = platform::FileSize(file);
  stream->mode = kStreamModeRead;
  if (int error = open(*stream)) {
    std::fprintf(stderr, "open failed: %d\n", error);
    return 1;
  }
  std::vector<int16_t> piece(kBenchPieceSamples);
  int64_t total = 0;
  const int64_t whole = kBenchPieceSamples - kBenchPieceSamples % stream->info.channels;
  for (int64_t n; (n = stream->readShort(*stream, piece.data(), whole)) > 0;) total += n;
  std::printf("decoded %lld samples, %u channels at %u Hz\n", static_cast<long long>(total), stream->info.channels,
              stream->info.samplerate);
  return stream->close(*stream);
}

// Encodes the raw 16-bit samples (little-endian) of `in` into `out` with
// the module's open for writing, described by `info`. Returns the close's
// result, 1 when the open or a write fails, 2 when a file cannot be opened.
inline int BenchEncode(const char* in, const AudioInfo& info, ModuleOpenFn open, const char* out) {
  platform::File source = platform::OpenExistingReadOnly(in);
  platform::File file = platform::CreateReplacing(out);
  if (!source.IsOpen() || !file.IsOpen() || info.channels == 0) return 2;
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->mode = kStreamModeWrite;
  stream->info = info;
  if (int error = open(*stream)) {
    std::fprintf(stderr, "open failed: %d\n", error);
    return 1;
  }
  const int64_t channels = info.channels, whole = kBenchPieceSamples - kBenchPieceSamples % channels;
  std::vector<int16_t> piece(static_cast<size_t>(whole));
  for (int64_t bytes; (bytes = platform::ReadFile(source, piece.data(), static_cast<size_t>(whole) * 2)) > 0;) {
    const int64_t n = bytes / 2 - (bytes / 2) % channels;
    if (stream->writeShort(*stream, piece.data(), n) != n) return 1;
  }
  return stream->close(*stream);
}
