// SPDX-License-Identifier: GPL-2.0-or-later
// Opens arbitrary bytes as an Ogg Vorbis stream lying in a window of a
// larger file (see codec_window.h).
#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "codec_window.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CodecWindow window;
  if (!MakeCodecWindow("", data, size, window)) return 0;
  CheckOpenedAndClose(*window.stream, OggVorbisOpenRead(*window.stream));
  return 0;
}
