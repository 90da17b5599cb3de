// Opens "TWIN97012000" followed by arbitrary bytes as a VQF stream lying in
// a window of a larger file, with the fixture TwinVQ libraries: some bytes
// before it, and the same bytes again after it, so that reading past the
// window would find more frames to decode.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/vqf/vqf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool named = [] {
    SetCodecLibraryFileName(CodecLibraryId::kTwinVqDecoder, TVQ_FIXTURE_DECODER);
    return true;
  }();
  (void)named;
  static const char kBefore[] = "previous entry";
  static const char kId[] = "TWIN97012000";
  const int64_t length = 12 + static_cast<int64_t>(size);
  platform::File file(::memfd_create("vqf-fuzz", MFD_CLOEXEC));
  if (!file.IsOpen()) return 0;
  for (int copy = 0; copy < 2; ++copy) {
    if ((copy == 0 && platform::WriteFile(file, kBefore, sizeof kBefore) != sizeof kBefore) ||
        platform::WriteFile(file, kId, 12) != 12 ||
        platform::WriteFile(file, data, size) != static_cast<int64_t>(size)) {
      return 0;
    }
  }
  platform::SeekFile(file, sizeof kBefore, platform::SeekOrigin::kBegin);

  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->fileoffset = sizeof kBefore;
  stream->filelength = length;
  stream->mode = kStreamModeRead;
  stream->info.quality = kQualityNotSet;
  const int result = VqfOpenRead(*stream);
  if (result == 0) {
    // Whole frames, within the 16-bit range, and exactly as many as announced.
    int16_t piece[4096];
    uint64_t delivered = 0;
    for (int64_t n; (n = stream->readShort(*stream, piece, 4096)) > 0;) delivered += static_cast<uint64_t>(n);
    if (stream->info.channels == 0 || delivered != uint64_t{stream->info.samples} * stream->info.channels ||
        stream->dataoffset + stream->datalength != length) {
      std::abort();
    }
  } else if (stream->codecdata != nullptr) {
    std::abort();
  }
  if (stream->close != nullptr) (void)stream->close(*stream);
  return 0;
}
