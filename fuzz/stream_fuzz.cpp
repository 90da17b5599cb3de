// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the input is a stream that lies inside a file, with bytes
// before and after it; it is opened with format 0 (recognised from its first
// bytes) and read to its end.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "audio/stream/audio_stream.h"

namespace {

constexpr size_t kBefore = 17;
constexpr size_t kAfter = 23;
constexpr int64_t kMostSamples = int64_t{1} << 22;

bool WriteAll(platform::File& file, const void* bytes, size_t count) {
  return platform::WriteFile(file, bytes, count) == static_cast<int64_t>(count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > UINT32_MAX - kBefore - kAfter) return 0;
  platform::File file(memfd_create("stream-fuzz", MFD_CLOEXEC));
  if (!file.IsOpen()) std::abort();
  const std::vector<uint8_t> before(kBefore, 0xA5);
  const std::vector<uint8_t> after(kAfter, 0x7F);
  if (!WriteAll(file, before.data(), before.size()) || !WriteAll(file, data, size) ||
      !WriteAll(file, after.data(), after.size())) {
    std::abort();
  }
  (void)platform::SeekFile(file, kBefore, platform::SeekOrigin::kBegin);
  // Every third input is named as an AU file, so headerless u-law is reached.
  const char* name = size % 3 == 0 ? "fuzz.snd" : "fuzz.bin";
  AudioInfo info;
  StreamPtr stream(OpenStreamRead(name, &file, &info, static_cast<uint32_t>(size)));
  if (!stream) return 0;
  const int64_t channels = info.channels;
  const int64_t chunk = std::max<int64_t>(4096 / channels, 1) * channels;
  std::vector<int16_t> samples(static_cast<size_t>(chunk));
  for (int64_t total = 0; total < kMostSamples; total += chunk) {
    const int64_t got = ReadShorts(stream.get(), samples.data(), chunk);
    if (got <= 0) break;
    if (got > chunk) std::abort();
  }
  return 0;
}
