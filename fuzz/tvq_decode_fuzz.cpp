// SPDX-License-Identifier: GPL-2.0-or-later
// The project's TwinVQ decoder on arbitrary frame bits: the first byte picks
// one of the modes (a rate and bit-rate pair of kTvqModes, mono or stereo),
// whose 44-byte header stands before the rest of the input, and the VQF
// layer decodes it in a window of a larger file (see codec_window.h) with
// libtvqdec.so, found by its bare name as spoolex finds it. Every index a
// frame can carry must decode, to the mode's rate and channels.
#include <cstdlib>
#include <cstring>

#include "audio/vqf/vqf.h"
#include "codecs/twinvq/twinvq.h"
#include "codec_window.h"

namespace {

void PutBe32(char* to, uint32_t v) {
  for (int i = 0; i < 4; ++i) to[i] = static_cast<char>(v >> (24 - 8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const TvqMode& mode = kTvqModes[data[0] % kTvqModeCount];
  const uint32_t channels = data[0] / kTvqModeCount % 2 + 1;
  char header[44] = "TWIN97012000";
  PutBe32(header + 12, 24);
  std::memcpy(header + 16, "COMM", 4);
  PutBe32(header + 20, 16);
  PutBe32(header + 24, channels - 1);
  PutBe32(header + 28, static_cast<uint32_t>(mode.kbps) * channels);
  PutBe32(header + 32, static_cast<uint32_t>(mode.samplingCode));
  PutBe32(header + 36, 0);
  std::memcpy(header + 40, "DATA", 4);
  CodecWindow window;
  if (!MakeCodecWindow(std::string_view(header, sizeof header), data + 1, size - 1, window)) return 0;
  AudioStream& stream = *window.stream;
  const int result = VqfOpenRead(stream);
  // A valid header is never refused: the stream opens, or holds fewer than
  // three frames that the reader accepts (8).
  if (result != 0 && result != 8) std::abort();
  if (result == 0 && (stream.info.samplerate != mode.sampleRate || stream.info.channels != channels)) std::abort();
  CheckOpenedAndClose(stream, result);
  return 0;
}
