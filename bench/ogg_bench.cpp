// SPDX-License-Identifier: GPL-2.0-or-later
// Decodes an Ogg Vorbis file to 16-bit samples, or encodes raw 16-bit
// samples to Ogg Vorbis, through the format module. For timing by
// bench_ogg.sh.
//   bench_ogg decode <file.ogg>
//   bench_ogg encode <in.raw (s16le)> <rate> <channels> <quality> <out.ogg>
#include <cstdlib>
#include <cstring>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "codec_bench.h"

int main(int argc, char** argv) {
  int result = 2;
  if (argc == 3 && std::strcmp(argv[1], "decode") == 0) {
    result = BenchDecode(argv[2], OggVorbisOpenRead);
  } else if (argc == 7 && std::strcmp(argv[1], "encode") == 0) {
    AudioInfo info;
    info.format = FMT_OGG;
    info.samplerate = static_cast<uint32_t>(std::atoi(argv[3]));
    info.channels = static_cast<uint32_t>(std::atoi(argv[4]));
    info.quality = std::strtof(argv[5], nullptr);
    result = BenchEncode(argv[2], info, OggVorbisOpenWrite, argv[6]);
  } else {
    std::fprintf(stderr, "usage: bench_ogg decode FILE | encode RAW RATE CHANNELS QUALITY OUT\n");
  }
  UnloadCodecLibraries();
  return result;
}
