// SPDX-License-Identifier: GPL-2.0-or-later
// The AAC header probe and the AAC open for reading on arbitrary bytes, the
// latter with the bytes lying in a window of a larger file (see
// codec_window.h).
#include <cstdlib>

#include "audio/aac/aac.h"
#include "codec_window.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CodecWindow window;
  if (!MakeCodecWindow("", data, size, window)) return 0;
  AacHeaderInfo info;
  const int64_t tag = ProbeAacHeader(*window.stream, &info);
  if (tag != kAacInvalidHeader && (tag < 0 || static_cast<uint64_t>(tag) > size)) std::abort();
  CheckOpenedAndClose(*window.stream, AacOpenRead(*window.stream));
  return 0;
}
