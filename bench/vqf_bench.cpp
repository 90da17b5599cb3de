// Decodes a VQF file to 16-bit samples, or encodes raw 16-bit samples as a
// VQF file, through the stream layer (4096-sample reads and writes) and the
// project's TwinVQ libraries, found by their bare names as spoolex finds
// them. For timing by bench_vqf.sh.
//   bench_vqf decode <file.vqf>
//   bench_vqf encode <in.raw (s16le)> <rate> <channels> <bit/s per channel> <out.vqf>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/stream/audio_stream.h"

namespace {

constexpr int64_t kPieceSamples = 4096;

int Decode(const char* path) {
  platform::File file = platform::OpenExistingReadOnly(path);
  if (!file.IsOpen()) return 2;
  AudioInfo info;
  info.format = FMT_VQF;
  StreamPtr stream(OpenStreamRead(path, &file, &info, 0));
  if (!stream) {
    std::fprintf(stderr, "open failed: %s\n", ErrorReason(LastError()).c_str());
    return 1;
  }
  std::vector<int16_t> piece(kPieceSamples);
  const int64_t whole = kPieceSamples - kPieceSamples % info.channels;
  int64_t total = 0;
  for (int64_t n; (n = ReadShorts(stream.get(), piece.data(), whole)) > 0;) total += n;
  std::printf("decoded %lld samples\n", static_cast<long long>(total));
  return 0;
}

int Encode(const char* in, uint32_t rate, uint32_t channels, uint32_t bitrate, const char* out) {
  platform::File source = platform::OpenExistingReadOnly(in);
  if (!source.IsOpen() || channels == 0) return 2;
  AudioInfo info;
  info.format = FMT_VQF;
  info.pcmbitwidth = 16;
  info.samplerate = rate;
  info.channels = channels;
  info.bitrate = bitrate;
  AudioStream* stream = OpenFileWrite(out, &info);
  if (stream == nullptr) {
    std::fprintf(stderr, "open failed: %s\n", ErrorReason(LastError()).c_str());
    return 1;
  }
  const int64_t whole = kPieceSamples - kPieceSamples % channels;
  std::vector<int16_t> piece(static_cast<size_t>(whole));
  for (int64_t bytes; (bytes = platform::ReadFile(source, piece.data(), static_cast<size_t>(whole) * 2)) > 0;) {
    const int64_t n = bytes / 2 - (bytes / 2) % channels;
    if (WriteShorts(stream, piece.data(), n) != n) {
      CloseStream(stream);
      return 1;
    }
  }
  const int closed = CloseStream(stream);
  if (closed != 0) std::fprintf(stderr, "close failed: %s\n", ErrorReason(closed).c_str());
  return closed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "decode") == 0) return Decode(argv[2]);
  if (argc == 7 && std::strcmp(argv[1], "encode") == 0) {
    return Encode(argv[2], static_cast<uint32_t>(std::atol(argv[3])), static_cast<uint32_t>(std::atol(argv[4])),
                  static_cast<uint32_t>(std::atol(argv[5])), argv[6]);
  }
  std::fprintf(stderr, "usage: bench_vqf decode FILE | encode RAW RATE CHANNELS BITRATE OUT\n");
  return 2;
}
