// SPDX-License-Identifier: GPL-2.0-or-later
// The fact and PEAK chunks of WAV and AIFF streams written through
// libsndfile, and the fact chunk of WAV streams read.
#include "audio/stream/written_header.h"

#include <algorithm>
#include <cstdint>

namespace {

// A chunk of a RIFF (little-endian) or FORM (big-endian) file.
struct Chunk {
  int64_t at = 0;  // offset of its header, from the stream's start
  uint32_t size = 0;
};

bool ReadAt(AudioStream& stream, int64_t offset, uint8_t* bytes, size_t size) {
  return platform::ReadFileAt(*stream.file, stream.fileoffset + offset, bytes, size);
}

bool WriteAt(AudioStream& stream, int64_t offset, const uint8_t* bytes, size_t size) {
  return platform::SeekFile(*stream.file, stream.fileoffset + offset, platform::SeekOrigin::kBegin) >= 0 &&
         platform::WriteFile(*stream.file, bytes, size) == static_cast<int64_t>(size);
}

uint32_t Word(const uint8_t* p, bool big) {
  return big ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
             : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

void PutWord(uint8_t* p, uint32_t word, bool big) {
  for (int i = 0; i < 4; ++i) p[big ? 3 - i : i] = static_cast<uint8_t>(word >> (8 * i));
}

// Finds the first chunk `id` of the file's top level within `extent` bytes.
bool FindChunk(AudioStream& stream, int64_t extent, const char (&id)[5], bool big, Chunk* found) {
  for (int64_t at = 12; at + 8 <= extent;) {
    uint8_t head[8];
    if (!ReadAt(stream, at, head, sizeof head)) return false;
    const uint32_t size = Word(head + 4, big);
    if (std::equal(head, head + 4, id)) {
      *found = {at, size};
      return true;
    }
    at += 8 + int64_t{size} + (size & 1);
  }
  return false;
}

bool IsBlockEncoding(uint32_t format) {
  const uint32_t minor = FormatMinor(format);
  return FormatMajor(format) == FMT_WAV &&
         (minor == FMT_IMA_ADPCM || minor == FMT_MS_ADPCM || minor == FMT_GSM610);
}

// Sets the word `offset` bytes into `chunk`'s body to `word` when the body
// reaches that far. Returns false when the file refuses.
bool MendWord(AudioStream& stream, const Chunk& chunk, uint32_t offset, uint32_t word, bool big) {
  if (chunk.size < offset + 4) return true;
  uint8_t bytes[4];
  PutWord(bytes, word, big);
  return WriteAt(stream, chunk.at + 8 + offset, bytes, sizeof bytes);
}

}  // namespace

void BoundFramesByFactChunk(AudioStream& stream) {
  if (!IsBlockEncoding(stream.info.format)) return;
  Chunk fact;
  uint8_t frames[4];
  if (FindChunk(stream, stream.filelength, "fact", false, &fact) && fact.size >= 4 &&
      fact.at + 12 <= stream.filelength && ReadAt(stream, fact.at + 8, frames, sizeof frames)) {
    stream.info.samples = std::min(stream.info.samples, Word(frames, false));
  }
}

bool MendWrittenHeader(AudioStream& stream) {
  const uint32_t major = FormatMajor(stream.info.format);
  if (major != FMT_WAV && major != FMT_AIFF) return true;
  const bool big = major == FMT_AIFF;
  Chunk chunk;
  if (IsBlockEncoding(stream.info.format) && FindChunk(stream, stream.written, "fact", big, &chunk) &&
      !MendWord(stream, chunk, 0, static_cast<uint32_t>(stream.current), big)) {
    return false;
  }
  uint64_t epoch = 0;
  if (SourceDateEpoch(&epoch) && FindChunk(stream, stream.written, "PEAK", big, &chunk) &&
      !MendWord(stream, chunk, 4, static_cast<uint32_t>(epoch), big)) {
    return false;
  }
  return true;
}
