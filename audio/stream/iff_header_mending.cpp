// SPDX-License-Identifier: GPL-2.0-or-later
// The frame counts of AIFF and 8SVX headers that libsndfile 1.2 gets wrong.
#include "audio/stream/iff_header_mending.h"

#include <algorithm>
#include <cerrno>

namespace {

constexpr uint32_t BigMarker(const char (&m)[5]) {
  return uint32_t{static_cast<uint8_t>(m[0])} << 24 | uint32_t{static_cast<uint8_t>(m[1])} << 16 |
         uint32_t{static_cast<uint8_t>(m[2])} << 8 | uint32_t{static_cast<uint8_t>(m[3])};
}

// The big-endian word at `offset` bytes into the stream, inside `extent`.
bool ReadBigWord(AudioStream& stream, int64_t offset, int64_t extent, uint32_t& word) {
  uint8_t b[4];
  if (offset < 0 || offset + 4 > extent || !platform::ReadFileAt(*stream.file, stream.fileoffset + offset, b, 4)) {
    return false;
  }
  word = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
  return true;
}

// Writes `size` bytes at `offset` bytes into the stream being written.
bool WriteAt(AudioStream& stream, int64_t offset, const uint8_t* bytes, size_t size) {
  if (platform::SeekFile(*stream.file, stream.fileoffset + offset, platform::SeekOrigin::kBegin) >= 0 &&
      platform::WriteFile(*stream.file, bytes, size) == static_cast<int64_t>(size)) {
    return true;
  }
  if (stream.systemError == 0) stream.systemError = errno;
  return false;
}

// Sets the big-endian word at `offset` to `word` unless it holds it already.
bool MendBigWord(AudioStream& stream, int64_t offset, int64_t extent, uint32_t word) {
  uint32_t now = 0;
  if (ReadBigWord(stream, offset, extent, now) && now == word) return true;
  const uint8_t b[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                        static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
  return WriteAt(stream, offset, b, sizeof b);
}

// Finds the first chunk `id` of the FORM at the stream's start, within
// `extent` bytes: *at receives the offset of its header, *size its size.
bool FindIffChunk(AudioStream& stream, int64_t extent, uint32_t id, int64_t* at, uint32_t* size) {
  uint32_t form = 0;
  if (!ReadBigWord(stream, 0, extent, form) || form != BigMarker("FORM")) return false;
  uint32_t chunk = 0;
  for (int64_t p = 12; ReadBigWord(stream, p, extent, chunk) && ReadBigWord(stream, p + 4, extent, *size);
       p += 8 + int64_t{*size} + (*size & 1)) {
    if (chunk == id) {
      *at = p;
      return true;
    }
  }
  return false;
}

}  // namespace

bool MendIffHeader(AudioStream& stream) {
  const uint32_t major = FormatMajor(stream.info.format);
  if (major != FMT_AIFF && major != FMT_SVX) return true;
  const bool aiff = major == FMT_AIFF;
  const uint64_t frames = static_cast<uint64_t>(stream.current);
  const uint64_t dataBytes = frames * static_cast<uint64_t>(stream.blockwidth);
  const int64_t extent = stream.written;
  int64_t at = 0;
  uint32_t size = 0;
  // COMM: channels (2 bytes), then the frame count; VHDR: the frame count first.
  if (aiff && FindIffChunk(stream, extent, BigMarker("COMM"), &at, &size) &&
      !MendBigWord(stream, at + 10, extent, static_cast<uint32_t>(frames))) {
    return false;
  }
  if (!aiff && FindIffChunk(stream, extent, BigMarker("VHDR"), &at, &size) &&
      !MendBigWord(stream, at + 8, extent, static_cast<uint32_t>(frames))) {
    return false;
  }
  // SSND holds an offset and a block size before the samples.
  const uint64_t dataSize = dataBytes + (aiff ? 8 : 0);
  if (!FindIffChunk(stream, extent, BigMarker(aiff ? "SSND" : "BODY"), &at, &size) ||
      at + 8 + static_cast<int64_t>(dataSize) > extent || dataSize > UINT32_MAX) {
    return true;  // not laid out as expected: left as libsndfile wrote it
  }
  if (!MendBigWord(stream, at + 4, extent, static_cast<uint32_t>(dataSize))) return false;
  const int64_t dataEnd = at + 8 + static_cast<int64_t>(dataSize);
  if ((dataEnd & 1) != 0 && dataEnd == extent) {
    const uint8_t pad = 0;
    if (!WriteAt(stream, dataEnd, &pad, 1)) return false;
    stream.written = dataEnd + 1;
  }
  const int64_t formSize = stream.written - 8;
  return formSize > UINT32_MAX || MendBigWord(stream, 4, stream.written, static_cast<uint32_t>(formSize));
}

void BoundSvxFrames(AudioStream& stream) {
  int64_t at = 0;
  uint32_t size = 0;
  if (FormatMajor(stream.info.format) == FMT_SVX && stream.blockwidth > 0 &&
      FindIffChunk(stream, stream.filelength, BigMarker("BODY"), &at, &size)) {
    stream.info.samples = std::min<uint32_t>(stream.info.samples, size / static_cast<uint32_t>(stream.blockwidth));
  }
}
