// SPDX-License-Identifier: GPL-2.0-or-later
// The project's TwinVQ encoder, then its decoder, on arbitrary samples, at
// every mode: the first byte picks one of the sixteen modes (eight rate and
// bit-rate pairs, mono or stereo) and the encoder's preselection (the codec
// options 0 to 3); the rest are the 16-bit samples. The audio stream layer writes
// them as a VQF stream into a memory file (libtvqenc.so, found by its bare
// name as spoolex finds it) and reads that stream back (libtvqdec.so). The
// stream must open at the mode's rate and channels and deliver every frame
// written, padded by at most one codec frame (a whole silent one when the
// samples fill whole frames), and exactly the samples it announces.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "codecs/twinvq/twinvq.h"

namespace {

// Samples per channel of the longest TwinVQ frame.
constexpr uint64_t kMaxFrameSamples = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const TvqMode& mode = kTvqModes[data[0] % kTvqModeCount];
  const uint32_t channels = data[0] / kTvqModeCount % 2 + 1;
  const size_t frames = (size - 1) / (2 * channels);
  if (frames == 0) return 0;  // nothing to encode: the close writes nothing
  std::vector<int16_t> samples(frames * channels);
  std::memcpy(samples.data(), data + 1, samples.size() * sizeof(int16_t));

  platform::File file(::memfd_create("tvq-roundtrip", MFD_CLOEXEC));
  if (!file.IsOpen()) return 0;
  AudioInfo info;
  info.format = FMT_VQF;
  info.samplerate = mode.sampleRate;
  info.channels = channels;
  info.pcmbitwidth = 16;
  info.bitrate = static_cast<uint32_t>(mode.kbps) * 1000;
  info.codecOption = static_cast<uint16_t>(data[0] / (2 * kTvqModeCount) % 4);
  AudioStream* writer = OpenStreamWrite("roundtrip.vqf", &file, &info);
  if (writer == nullptr) std::abort();  // a mode of the libraries is never refused
  const auto count = static_cast<int64_t>(samples.size());
  if (WriteShorts(writer, samples.data(), count) != count || CloseStream(writer) != 0) std::abort();

  const int64_t written = platform::TellFile(file);
  if (written <= 0 || platform::SeekFile(file, 0, platform::SeekOrigin::kBegin) != 0) std::abort();
  AudioInfo decoded;
  decoded.format = FMT_VQF;
  StreamPtr reader(OpenStreamRead("roundtrip.vqf", &file, &decoded, static_cast<uint32_t>(written)));
  if (!reader || decoded.samplerate != mode.sampleRate || decoded.channels != channels ||
      decoded.bitrate != info.bitrate || decoded.samples < frames || decoded.samples > frames + kMaxFrameSamples) {
    std::abort();
  }
  std::vector<int16_t> out(size_t{decoded.samples} * channels);
  const auto wanted = static_cast<int64_t>(out.size());
  if (ReadShorts(reader.get(), out.data(), wanted) != wanted || StreamError(reader.get()) != 0) std::abort();
  return 0;
}
