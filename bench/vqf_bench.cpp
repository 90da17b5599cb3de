// SPDX-License-Identifier: GPL-2.0-or-later
// Decodes a VQF file to 16-bit samples, or encodes raw 16-bit samples as a
// VQF stream, through the format module and the project's TwinVQ libraries,
// found by their bare names as spoolex finds them. For timing by
// bench_vqf.sh.
//   bench_vqf decode <file.vqf>
//   bench_vqf encode <in.raw (s16le)> <rate> <channels> <bit/s per channel> <out.vqf>
#include <cstdlib>
#include <cstring>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/vqf/vqf.h"
#include "codec_bench.h"

int main(int argc, char** argv) {
  int result = 2;
  if (argc == 3 && std::strcmp(argv[1], "decode") == 0) {
    result = BenchDecode(argv[2], VqfOpenRead);
  } else if (argc == 7 && std::strcmp(argv[1], "encode") == 0) {
    AudioInfo info;
    info.format = FMT_VQF;
    info.pcmbitwidth = 16;
    info.samplerate = static_cast<uint32_t>(std::atoi(argv[3]));
    info.channels = static_cast<uint32_t>(std::atoi(argv[4]));
    info.bitrate = static_cast<uint32_t>(std::atol(argv[5]));
    result = BenchEncode(argv[2], info, VqfOpenWrite, argv[6]);
  } else {
    std::fprintf(stderr, "usage: bench_vqf decode FILE | encode RAW RATE CHANNELS BITRATE OUT\n");
  }
  UnloadCodecLibraries();
  return result;
}
