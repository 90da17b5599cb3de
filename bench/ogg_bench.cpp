// Decodes an Ogg Vorbis file to 16-bit samples, or encodes raw 16-bit
// samples to Ogg Vorbis, through the format module, the way the stream layer
// drives it (4096-sample reads and writes). For timing by bench_ogg.sh.
//   bench_ogg decode <file.ogg>
//   bench_ogg encode <in.raw (s16le)> <rate> <channels> <quality> <out.ogg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/ogg_vorbis/ogg_vorbis.h"

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
  if (int error = OggVorbisOpenRead(*stream)) {
    std::fprintf(stderr, "open failed: %d\n", error);
    return 1;
  }
  std::vector<int16_t> piece(kPieceSamples);
  int64_t total = 0;
  int64_t whole = kPieceSamples - kPieceSamples % stream->info.channels;
  for (int64_t n; (n = stream->readShort(*stream, piece.data(), whole)) > 0;) total += n;
  std::printf("decoded %lld samples\n", static_cast<long long>(total));
  return stream->close(*stream);
}

int Encode(const char* in, int rate, int channels, float quality, const char* out) {
  platform::File source = platform::OpenExistingReadOnly(in);
  platform::File file = platform::CreateReplacing(out);
  if (!source.IsOpen() || !file.IsOpen()) return 2;
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->mode = kStreamModeWrite;
  stream->info.samplerate = static_cast<uint32_t>(rate);
  stream->info.channels = static_cast<uint32_t>(channels);
  stream->info.format = FMT_OGG;
  stream->info.quality = quality;
  if (int error = OggVorbisOpenWrite(*stream)) {
    std::fprintf(stderr, "open failed: %d\n", error);
    return 1;
  }
  int64_t whole = kPieceSamples - kPieceSamples % channels;
  std::vector<int16_t> piece(whole);
  for (int64_t bytes; (bytes = platform::ReadFile(source, piece.data(), whole * 2)) > 0;) {
    int64_t n = bytes / 2 - (bytes / 2) % channels;
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
    result = Encode(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::strtof(argv[5], nullptr), argv[6]);
  } else {
    std::fprintf(stderr, "usage: bench_ogg decode FILE | encode RAW RATE CHANNELS QUALITY OUT\n");
  }
  UnloadCodecLibraries();
  return result;
}
