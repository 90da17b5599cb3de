// SPDX-License-Identifier: GPL-2.0-or-later
// Layout of a pack file: the kinds, the 16-byte header and the directory
// records, with little-endian helpers. Every number in a pack is
// little-endian; offsets and sizes are unsigned 32-bit.
//
// File:   [header, 16 bytes][entry data ...][directory][checksum trailer]
// The directory of a Stored pack is raw records; that of an Audio or Deflated
// pack is one zlib stream (RFC 1950) of the records. Readers of the format
// ignore what follows the directory; packs made by this project's writer end
// with a checksum trailer there (below), older packs with the directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "audio/stream/audio_info.h"

enum class PackKind : uint32_t { kAudio = 0, kStored = 1, kDeflated = 2 };

inline constexpr size_t kPackKindCount = 3;

// The kinds in the order the extraction run takes them.
inline constexpr PackKind kPackKindsInRunOrder[kPackKindCount] = {PackKind::kAudio, PackKind::kStored,
                                                                   PackKind::kDeflated};

// Header, at offset 0.
inline constexpr size_t kMagicBytes = 8;
inline constexpr size_t kHeaderMagicOffset = 0;            // 8 bytes, ASCII, no terminator
inline constexpr size_t kHeaderDirectoryOffsetOffset = 8;  // u32: file offset of the directory
inline constexpr size_t kHeaderDirectorySizeOffset = 12;   // u32: records' length (inflated)
inline constexpr size_t kHeaderBytes = 16;

// The four bytes "KERV" in place of directoryOffset mark an unfinished pack.
inline constexpr char kUnfinishedMarker[4] = {'K', 'E', 'R', 'V'};

// One directory record, offsets from the start of the record, L = nameLength:
//   0        u16  nameLength (read as signed 16-bit)
//   2        L    name, backslash-separated, no terminator
//   2+L      u32  dataOffset: file offset of the entry's data
//   6+L      u32  packedSize: bytes of entry data in the pack
//   10+L     Deflated: u32 unpackedSize           (record ends at 14+L)
//            Audio:    u32 streamFormat           (at 10+L)
//                      46 bytes AudioInfo         (at 14+L, record ends at 60+L)
//   Stored records end at 10+L.
inline constexpr size_t kRecordNameLengthBytes = 2;
inline constexpr size_t kRecordCommonFixedBytes = 10;  // nameLength, dataOffset, packedSize
inline constexpr size_t kRecordDeflatedExtraBytes = 4;
inline constexpr size_t kRecordAudioExtraBytes = 4 + kAudioInfoBytes;

// Longest name and longest joined output path, in bytes without terminator.
inline constexpr size_t kMaxNameBytes = 259;
inline constexpr size_t kMaxPathBytes = 259;

// Checksum trailer, right after the directory and the last thing in the
// file, so that it is found from the end. N = the number of records;
// offsets from the start of the trailer, which is 4N + 20 bytes long:
//   0        4N   u32 x N: CRC-32 (zlib's crc32, as in gzip) of each entry's
//                 packed data (packedSize bytes at dataOffset), in the
//                 order of the directory's records
//   4N       u32  N
//   4N+4     u32  version, 1
//   4N+8     u32  CRC-32 of the trailer's first 4N + 8 bytes
//   4N+12    8    magic "KERVSUMS"
// A trailer counts only when every field checks out and it fills the bytes
// from the end of the directory to the end of the file.
inline constexpr char kTrailerMagic[8] = {'K', 'E', 'R', 'V', 'S', 'U', 'M', 'S'};
inline constexpr uint32_t kTrailerVersion = 1;
inline constexpr size_t kTrailerFixedBytes = 20;  // N, version, CRC, magic
inline constexpr size_t kTrailerChecksumBytes = 4;

// Largest pack file: every offset and size must fit an unsigned 32-bit field.
inline constexpr uint64_t kMaxPackBytes = 0xFFFFFFFFu;

// The magic of a kind ("KERVMAXA", "KERVMAXU", "KERVMAXZ").
constexpr std::string_view PackMagic(PackKind kind) {
  switch (kind) {
    case PackKind::kAudio: return "KERVMAXA";
    case PackKind::kStored: return "KERVMAXU";
    case PackKind::kDeflated: return "KERVMAXZ";
  }
  return "";
}

// The file extension of a kind (".APAK", ".UPAK", ".ZPAK").
constexpr std::string_view PackExtension(PackKind kind) {
  switch (kind) {
    case PackKind::kAudio: return ".APAK";
    case PackKind::kStored: return ".UPAK";
    case PackKind::kDeflated: return ".ZPAK";
  }
  return "";
}

// Bytes a record of `kind` takes after its name.
constexpr size_t RecordFixedBytes(PackKind kind) {
  switch (kind) {
    case PackKind::kAudio: return kRecordCommonFixedBytes + kRecordAudioExtraBytes;
    case PackKind::kDeflated: return kRecordCommonFixedBytes + kRecordDeflatedExtraBytes;
    case PackKind::kStored: break;
  }
  return kRecordCommonFixedBytes;
}

inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
