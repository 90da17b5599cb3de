// Decodes an AAC file to 16-bit samples, or encodes raw 16-bit samples to an
// ADTS stream, through the format module, the way the stream layer drives it
// (4096-sample reads and writes). For timing by bench_aac.sh.
//   bench_aac decode <file.aac>
//   bench_aac encode <in.raw (s16le)> <rate> <channels> <bit/s per channel> <out.aac>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/aac/aac.h"
#include "audio/codec_libraries/codec_libraries.h"

namespace {

constexpr int64_t kPieceSamples = 4096;

int Decode(const char* path) {
  platform::File file = platform::OpenExistingReadOnly(path);
  if (!file.IsOpen()) return 2;
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->filelength = platform::FileSize(file);
  stream->mode = kStreamModeRead;
  if (int error = AacOpenRead(*stream)) {
    std::fprintf(stderr, "open failed: %d\n", error);
    return 1;
  }
  std::vector<int16_t> piece(kPieceSamples);
  int64_t total = 0;
  const int64_t whole = kPieceSamples - kPieceSamples % stream->info.channels;
  for (int64_t n; (n = stream->readShort(*stream, piece.data(), whole)) > 0;) total += n;
  std::printf("decoded %lld samples, %u channels at %u Hz\n", static_cast<long long>(total),
              stream->info.channels, stream->info.samplerate);
  return stream->close(*stream);
}

int Encode(const char* in, int rate, int channels, long bitrate, const char* out) {
  platform::File source = platform::OpenExistingReadOnly(in);
  platform::File file = platform::CreateReplacing(out);
  if (!source.IsOpen() || !file.IsOpen()) return 2;
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->mode = kStreamModeWrite;
  stream->info.samplerate = static_cast<uint32_t>(rate);
  stream->info.channels = static_cast<uint32_t>(channels);
  stream->info.format = FMT_MP4;
  stream->info.bitrate = static_cast<uint32_t>(bitrate);
  stream->info.codecOption = 1;
  if (int error = AacOpenWrite(*stream)) {
    std::fprintf(stderr, "open failed: %d\n", error);
    return 1;
  }
  const int64_t whole = kPieceSamples - kPieceSamples % channels;
  std::vector<int16_t> piece(whole);
  for (int64_t bytes; (bytes = platform::ReadFile(source, piece.data(), whole * 2)) > 0;) {
    const int64_t n = bytes / 2 - (bytes / 2) % channels;
    if (stream->writeShort(*stream, piece.data(), n) != n) return 1;
  }
  return stream->close(*stream);
}

}  // namespace

int main(int argc, char** argv) {
  int result = 2;
  if (argc == 3 && std::strcmp(argv[1], "decode") == 0) {
    result = Decode(argv[2]);
  } else if (argc == 7 && std::strcmp(argv[1], "encode") == 0) {
    result = Encode(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atol(argv[5]), argv[6]);
  } else {
    std::fprintf(stderr, "usage: bench_aac decode FILE | encode RAW RATE CHANNELS BITRATE OUT\n");
  }
  UnloadCodecLibraries();
  return result;
}
