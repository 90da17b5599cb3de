// SPDX-License-Identifier: GPL-2.0-or-later
// Checksums of entries' packed data: the trailer after a pack's directory
// (its layout is in pack_format.h), read when a pack is opened and written
// when one is finished, and the checks of an entry's data against it.
#include <isa-l/crc.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pack/pack_internal.h"

namespace pack_internal {

namespace {

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// Marks the trailer as damaged: the entries are read unchecked and the
// pack is kept.
void Damaged(PackHandle& pack, const std::string& why) {
  pack.checksumState = PackChecksums::kDamaged;
  pack.checksumProblem = why;
  pack.checksums.clear();
}

void DamagedTrailer(PackHandle& pack, const std::string& why) {
  Damaged(pack, "the checksum trailer is damaged (" + why + ")");
}

// The number of records in the directory (those before a damaged one).
size_t CountRecords(PackHandle& pack) {
  size_t count = 0;
  DirectoryEntry entry;
  while (NextRecord(pack, &entry) == kPackOk) ++count;
  RewindDirectory(pack);
  return count;
}

// The checksum recorded for `entry`, or null when the pack has none.
const uint32_t* RecordedChecksum(const PackHandle& pack, const DirectoryEntry& entry) {
  if (pack.checksumState != PackChecksums::kValid || entry.index >= pack.checksums.size()) return nullptr;
  return &pack.checksums[entry.index];
}

// A mismatch fails a Stored or Deflated entry with -2, an Audio entry, whose
// packed stream is then corrupt, with -4.
int Compare(const PackHandle& pack, uint32_t expected, uint32_t actual, std::string* reason) {
  if (expected == actual) return kPackOk;
  return Fail(reason, pack.kind == PackKind::kAudio ? kPackAudioFailed : kPackFileError,
              "data does not match its checksum (CRC-32 " + Hex(actual) + ", recorded " + Hex(expected) + ")");
}

}  // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) { return crc32_gzip_refl(crc, data, size); }

bool ChecksumFileRange(platform::File& file, uint64_t offset, uint64_t length, std::vector<uint8_t>& chunk,
                       uint32_t* crc) {
  if (chunk.size() != kChunkBytes) chunk.resize(kChunkBytes);
  uint32_t sum = 0;
  while (length > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kChunkBytes));
    if (!platform::ReadFileAt(file, static_cast<int64_t>(offset), chunk.data(), piece)) return false;
    sum = Crc32(sum, chunk.data(), piece);
    offset += piece;
    length -= piece;
  }
  *crc = sum;
  return true;
}

void ReadChecksumTrailer(PackHandle& pack, uint64_t directoryEnd) {
  pack.checksums.clear();
  pack.checksumState = PackChecksums::kNone;
  pack.checksumProblem.clear();
  const uint64_t tail = pack.fileSize - std::min(directoryEnd, pack.fileSize);
  pack.directoryAtEnd = tail == 0;
  uint8_t footer[kTrailerFixedBytes];  // N, version, CRC, magic
  if (tail < kTrailerFixedBytes ||
      !platform::ReadFileAt(pack.file, static_cast<int64_t>(pack.fileSize - sizeof footer), footer, sizeof footer) ||
      std::memcmp(footer + 12, kTrailerMagic, sizeof kTrailerMagic) != 0) {
    // A trailer cut short, or bytes added after the directory.
    if (tail > 0) Damaged(pack, std::to_string(tail) + " bytes after the directory are no checksum trailer");
    return;
  }
  // Sizes in the order: the arithmetic, the bytes there, the records known.
  const uint64_t count = LoadU32(footer);
  const uint64_t bytes = count * kTrailerChecksumBytes + kTrailerFixedBytes;
  if (const uint32_t version = LoadU32(footer + 4); version != kTrailerVersion) {
    return DamagedTrailer(pack, "version " + std::to_string(version));
  }
  if (bytes != tail) {
    return DamagedTrailer(pack,
                          "it holds " + std::to_string(count) + " checksums in " + std::to_string(tail) + " bytes");
  }
  const size_t records = CountRecords(pack);
  if (count != records) {
    return DamagedTrailer(pack, std::to_string(count) + " checksums for " + std::to_string(records) + " records");
  }
  std::vector<uint8_t> sums(static_cast<size_t>(bytes - kTrailerFixedBytes) + 8);
  if (!platform::ReadFileAt(pack.file, static_cast<int64_t>(directoryEnd), sums.data(), sums.size())) {
    return DamagedTrailer(pack, std::string("it cannot be read: ") + std::strerror(errno));
  }
  if (Crc32(0, sums.data(), sums.size()) != LoadU32(footer + 8)) return DamagedTrailer(pack, "its own CRC-32 differs");
  pack.checksums.resize(records);
  for (size_t i = 0; i < records; ++i) pack.checksums[i] = LoadU32(sums.data() + i * kTrailerChecksumBytes);
  pack.checksumState = PackChecksums::kValid;
  pack.directoryAtEnd = true;
}

std::vector<uint8_t> BuildChecksumTrailer(const std::vector<uint32_t>& checksums) {
  std::vector<uint8_t> trailer(checksums.size() * kTrailerChecksumBytes + kTrailerFixedBytes);
  uint8_t* p = trailer.data();
  for (uint32_t crc : checksums) {
    StoreU32(p, crc);
    p += kTrailerChecksumBytes;
  }
  StoreU32(p, static_cast<uint32_t>(checksums.size()));
  StoreU32(p + 4, kTrailerVersion);
  StoreU32(p + 8, Crc32(0, trailer.data(), static_cast<size_t>(p + 8 - trailer.data())));
  std::memcpy(p + 12, kTrailerMagic, sizeof kTrailerMagic);
  return trailer;
}

int CheckPackedData(PackHandle& pack, const DirectoryEntry& entry, std::string* reason) {
  const uint32_t* expected = RecordedChecksum(pack, entry);
  if (expected == nullptr) return kPackOk;
  uint32_t actual = 0;
  // Data that cannot be read is left to the entry's own reading, which
  // fails on it and says so.
  if (!ChecksumFileRange(pack.file, entry.dataOffset, entry.packedSize, pack.inChunk, &actual)) return kPackOk;
  return Compare(pack, *expected, actual, reason);
}

int CheckWrittenData(PackHandle& pack, const DirectoryEntry& entry, platform::File& output, std::string* reason) {
  const uint32_t* expected = RecordedChecksum(pack, entry);
  if (expected == nullptr) return kPackOk;
  uint32_t actual = 0;
  if (!ChecksumFileRange(output, 0, entry.packedSize, pack.inChunk, &actual)) {
    return Fail(reason, kPackFileError, std::string("cannot read the written data back: ") + std::strerror(errno));
  }
  return Compare(pack, *expected, actual, reason);
}

}  // namespace pack_internal

PackChecksums ChecksumsOf(const PackHandle& pack, std::string* why) {
  if (why != nullptr) *why = pack.checksumProblem;
  return pack.checksumState;
}
