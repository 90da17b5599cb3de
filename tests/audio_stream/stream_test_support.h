// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the audio stream tests: sox as the independent decoder, and
// reading and writing a stream through the layer. Temporary folders and file
// bytes are those of the pack tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "audio/stream/stream_module.h"
#include "pack/pack_test_support.h"

namespace stream_test {

using test_support::ReadBytes;
using test_support::TempDir;
using test_support::WriteBytes;

// Runs a shell command quietly; true when it exits with 0.
inline bool RunQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Decodes `input` with sox (`options` describe the input; "ffmpeg" decodes
// with ffmpeg instead) to 32-bit signed samples, without dither. Fails the
// test when the decoder fails.
inline std::vector<int32_t> SoxDecode(const TempDir& dir, const std::string& options, const std::string& input) {
  const std::string out = dir / "sox-decoded.raw";
  const std::string command =
      options == "ffmpeg" ? "ffmpeg -v error -y -i '" + input + "' -f s32le '" + out + "'"
                          : "sox -D " + options + " '" + input + "' -t raw -e signed -b 32 -L '" + out + "'";
  EXPECT_TRUE(RunQuietly(command)) << command;
  const std::vector<uint8_t> bytes = ReadBytes(out);
  std::vector<int32_t> samples(bytes.size() / 4);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 4);  // little-endian host
  return samples;
}

// Opens `path` at byte `offset` with `length` (0: to the end) and reads every
// sample through the layer. `info` gives the format to open with and
// receives the description; on failure the result is empty.
inline std::vector<int16_t> ReadThroughLayer(const std::string& path, AudioInfo& info, int64_t offset = 0,
                                             uint32_t length = 0) {
  platform::File file = platform::OpenExistingReadOnly(path);
  EXPECT_EQ(platform::SeekFile(file, offset, platform::SeekOrigin::kBegin), offset) << path;
  StreamPtr stream(OpenStreamRead(path.c_str(), &file, &info, length));
  if (!stream) return {};
  std::vector<int16_t> samples(static_cast<size_t>(info.samples) * info.channels);
  EXPECT_EQ(ReadShorts(stream.get(), samples.data(), static_cast<int64_t>(samples.size())),
            static_cast<int64_t>(samples.size()));
  return samples;
}

// Writes `samples` as a new file through the layer; returns CloseStream's
// result, or -1 when the open failed.
inline int WriteThroughLayer(const std::string& path, AudioInfo info, const std::vector<int16_t>& samples) {
  AudioStream* stream = OpenFileWrite(path.c_str(), &info);
  if (stream == nullptr) return -1;
  EXPECT_EQ(WriteShorts(stream, samples.data(), static_cast<int64_t>(samples.size())),
            static_cast<int64_t>(samples.size()));
  return CloseStream(stream);
}

inline AudioInfo Describe(uint32_t format, uint32_t bits, uint32_t channels, uint32_t rate = 8000,
                          uint32_t frames = 0) {
  AudioInfo info;
  info.format = format;
  info.pcmbitwidth = bits;
  info.channels = channels;
  info.samplerate = rate;
  info.samples = frames;
  return info;
}

// Signal-to-noise ratio in dB of `got` against `want`, over the values both
// have; 1000 when they are equal.
template <typename W, typename G>
double SnrDb(const std::vector<W>& want, const std::vector<G>& got) {
  double signal = 0, noise = 0;
  for (size_t i = 0; i < std::min(want.size(), got.size()); ++i) {
    const double w = static_cast<double>(want[i]), d = w - static_cast<double>(got[i]);
    signal += w * w;
    noise += d * d;
  }
  return noise == 0 ? 1000 : 10 * std::log10(signal / noise);
}

}  // namespace stream_test
