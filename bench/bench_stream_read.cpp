// SPDX-License-Identifier: GPL-2.0-or-later
// Reads a WAV file through the stream layer's ReadShorts and through a plain
// libsndfile sf_read_short loop, both in calls of 4096 samples, alternating
// the two for a number of rounds, and prints the best time of each and the
// speed ratio (libsndfile's time over the layer's).
//
// Usage: bench_stream <file.wav> [rounds]
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/stream/audio_stream.h"

namespace {

constexpr int64_t kCall = 4096;

struct Pass {
  double seconds = 0;
  int64_t samples = 0;
  uint64_t checksum = 0;
};

void Sum(Pass& pass, const int16_t* samples, int64_t count) {
  for (int64_t i = 0; i < count; ++i) pass.checksum = pass.checksum * 31 + static_cast<uint16_t>(samples[i]);
  pass.samples += count;
}

Pass ReadWithLibsndfile(const char* path) {
  Pass pass;
  const auto start = std::chrono::steady_clock::now();
  SF_INFO info = {};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (file == nullptr) return pass;
  std::vector<int16_t> buffer(kCall);
  sf_count_t got = 0;
  while ((got = sf_read_short(file, buffer.data(), kCall)) > 0) Sum(pass, buffer.data(), got);
  sf_close(file);
  pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return pass;
}

Pass ReadWithLayer(const char* path) {
  Pass pass;
  const auto start = std::chrono::steady_clock::now();
  platform::File file = platform::OpenExistingReadOnly(path);
  AudioInfo info;
  StreamPtr stream(OpenStreamRead(path, &file, &info, 0));
  if (!stream) return pass;
  std::vector<int16_t> buffer(kCall);
  int64_t got = 0;
  while ((got = ReadShorts(stream.get(), buffer.data(), kCall)) > 0) Sum(pass, buffer.data(), got);
  stream.reset();
  pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return pass;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_stream <file.wav> [rounds]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  Pass bestPlain;
  Pass bestLayer;
  for (int round = 0; round < rounds; ++round) {
    const Pass plain = ReadWithLibsndfile(argv[1]);
    const Pass layer = ReadWithLayer(argv[1]);
    if (plain.samples == 0 || layer.samples != plain.samples || layer.checksum != plain.checksum) {
      std::fprintf(stderr, "bench_stream: the two readers disagree (%lld and %lld samples)\n",
                   static_cast<long long>(plain.samples), static_cast<long long>(layer.samples));
      return 1;
    }
    if (round == 0 || plain.seconds < bestPlain.seconds) bestPlain = plain;
    if (round == 0 || layer.seconds < bestLayer.seconds) bestLayer = layer;
  }
  std::printf("samples %lld, libsndfile sf_read_short %.4f s, ReadShorts %.4f s, speed ratio %.3f\n",
              static_cast<long long>(bestPlain.samples), bestPlain.seconds, bestLayer.seconds,
              bestLayer.seconds > 0 ? bestPlain.seconds / bestLayer.seconds : 0.0);
  return 0;
}
