// SPDX-License-Identifier: GPL-2.0-or-later
// Decodes an AAC file to 16-bit samples, or encodes raw 16-bit samples to an
// ADTS stream (low complexity), through the format module. For timing by
// bench_aac.sh.
//   bench_aac decode <file.aac>
//   bench_aac encode <in.raw (s16le)> <rate> <channels> <bit/s per channel> <out.aac>
#include <cstdlib>
#include <cstring>

#include "audio/aac/aac.h"
#include "audio/codec_libraries/codec_libraries.h"
#include "codec_bench.h"

int main(int argc, char** argv) {
  int result = 2;
  if (argc == 3 && std::strcmp(argv[1], "decode") == 0) {
    result = BenchDecode(argv[2], AacOpenRead);
  } else if (argc == 7 && std::strcmp(argv[1], "encode") == 0) {
    AudioInfo info;
    info.format = FMT_MP4;
    info.samplerate = static_cast<uint32_t>(std::atoi(argv[3]));
    info.channels = static_cast<uint32_t>(std::atoi(argv[4]));
    info.bitrate = static_cast<uint32_t>(std::atol(argv[5]));
    info.codecOption = 1;
    result = BenchEncode(argv[2], info, AacOpenWrite, argv[6]);
  } else {
    std::fprintf(stderr, "usage: bench_aac decode FILE | encode RAW RATE CHANNELS BITRATE OUT\n");
  }
  UnloadCodecLibraries();
  return result;
}
