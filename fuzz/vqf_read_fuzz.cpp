// SPDX-License-Identifier: GPL-2.0-or-later
// Opens "TWIN97012000" followed by arbitrary bytes as a VQF stream lying in
// a window of a larger file (see codec_window.h), with the fixture TwinVQ
// decoder.
#include "audio/codec_libraries/codec_libraries.h"
#include "audio/vqf/vqf.h"
#include "codec_window.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool named = [] {
    SetCodecLibraryFileName(CodecLibraryId::kTwinVqDecoder, TVQ_FIXTURE_DECODER);
    return true;
  }();
  (void)named;
  CodecWindow window;
  if (!MakeCodecWindow("TWIN97012000", data, size, window)) return 0;
  AudioStream& stream = *window.stream;
  const int result = VqfOpenRead(stream);
  // The frames start where the header walk ended, inside the window.
  if (result == 0 && (stream.dataoffset < 16 || stream.dataoffset + stream.datalength != stream.filelength)) {
    std::abort();
  }
  CheckOpenedAndClose(stream, result);
  return 0;
}
