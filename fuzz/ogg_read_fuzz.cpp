// Opens arbitrary bytes as an Ogg Vorbis stream lying in a window of a
// larger file: some bytes before it, and the same bytes again after it, so
// that reading past the window would find more stream to decode.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "audio/ogg_vorbis/ogg_vorbis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char kBefore[] = "previous entry";
  platform::File file(::memfd_create("ogg-fuzz", MFD_CLOEXEC));
  if (!file.IsOpen()) return 0;
  if (platform::WriteFile(file, kBefore, sizeof kBefore) != sizeof kBefore ||
      platform::WriteFile(file, data, size) != static_cast<int64_t>(size) ||
      platform::WriteFile(file, data, size) != static_cast<int64_t>(size)) {
    return 0;
  }
  platform::SeekFile(file, sizeof kBefore, platform::SeekOrigin::kBegin);

  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->fileoffset = sizeof kBefore;
  stream->filelength = static_cast<int64_t>(size);
  stream->mode = kStreamModeRead;
  stream->info.quality = kQualityNotSet;
  int result = OggVorbisOpenRead(*stream);
  if (result == 0) {
    // A decoded stream holds whole frames and delivers exactly them.
    int16_t piece[4096];
    uint64_t delivered = 0;
    for (int64_t n; (n = stream->readShort(*stream, piece, 4096)) > 0;) delivered += static_cast<uint64_t>(n);
    if (stream->info.channels == 0 || delivered != uint64_t{stream->info.samples} * stream->info.channels) {
      std::abort();
    }
  } else if (stream->codecdata != nullptr) {
    std::abort();
  }
  if (stream->close != nullptr) (void)stream->close(*stream);
  return 0;
}
