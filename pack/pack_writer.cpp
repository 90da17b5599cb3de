// SPDX-License-Identifier: GPL-2.0-or-later
// The pack writer: a pack is created with the unfinished marker, entries'
// data is appended after the header while their records collect in memory,
// and finishing writes the directory and then the header's two fields.
#include <algorithm>
#include <new>

#include "pack/pack_internal.h"
#include "pack/parallel_deflate.h"

using pack_internal::Mode;

namespace {

// Marks a write-mode pack as failed (it will never be finished) and returns
// `result`.
PackWriteResult Broken(PackHandle& pack, PackWriteResult result) {
  if (pack.mode == Mode::kWrite) pack.mode = Mode::kWriteFailed;
  return result;
}

bool ValidName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxNameBytes && name.find('\0') == std::string::npos;
}

bool Writable(const PackHandle& pack, PackKind kind) { return pack.mode == Mode::kWrite && pack.kind == kind; }

// Writes `size` bytes at the data end, within the size limit.
PackWriteResult WriteData(PackHandle& pack, const uint8_t* data, size_t size) {
  if (size > pack.sizeLimit || pack.dataEnd > pack.sizeLimit - size) return Broken(pack, PackWriteResult::kTooLarge);
  if (platform::WriteFile(pack.file, data, size) != static_cast<int64_t>(size)) {
    return Broken(pack, PackWriteResult::kWriteFailed);
  }
  pack.dataEnd += size;
  return PackWriteResult::kOk;
}

// Appends the record of `entry`, whose packed data has the CRC-32 `crc`, to
// the directory being built.
PackWriteResult AppendRecord(PackHandle& pack, const DirectoryEntry& entry, uint32_t crc) {
  const size_t start = pack.directoryBuffer.size();
  const size_t bytes = entry.name.size() + RecordFixedBytes(pack.kind);
  if (bytes > pack_internal::kMaxDirectoryBytes - start) return Broken(pack, PackWriteResult::kTooLarge);
  pack.directoryBuffer.resize(start + bytes);
  uint8_t* p = pack.directoryBuffer.data() + start;
  StoreU16(p, static_cast<uint16_t>(entry.name.size()));
  p += kRecordNameLengthBytes;
  std::copy(entry.name.begin(), entry.name.end(), p);
  p += entry.name.size();
  StoreU32(p, entry.dataOffset);
  StoreU32(p + 4, entry.packedSize);
  p += 8;
  if (pack.kind == PackKind::kDeflated) {
    StoreU32(p, entry.unpackedSize);
  } else if (pack.kind == PackKind::kAudio) {
    StoreU32(p, entry.streamFormat);
    StoreAudioInfo(entry.info, p + 4);
  }
  pack.checksums.push_back(crc);
  ++pack.entryCount;
  return PackWriteResult::kOk;
}

// Reads the next chunk of `source` into the handle's input buffer. Returns
// the bytes read (0 at the end) or -1.
int64_t ReadSourceChunk(PackHandle& pack, platform::File& source) {
  return platform::ReadFile(source, pack.inChunk.data(), pack.inChunk.size());
}

// Takes back the data written since `offset`: the pack ends there again.
PackWriteResult Rewind(PackHandle& pack, uint64_t offset) {
  if (platform::SeekFile(pack.file, static_cast<int64_t>(offset), platform::SeekOrigin::kBegin) < 0 ||
      !platform::TruncateFile(pack.file, static_cast<int64_t>(offset))) {
    return Broken(pack, PackWriteResult::kWriteFailed);
  }
  pack.dataEnd = offset;
  return PackWriteResult::kOk;
}

}  // namespace

const char* WriteResultMessage(PackWriteResult result) {
  switch (result) {
    case PackWriteResult::kOk: return "done";
    case PackWriteResult::kNotSmaller: return "does not get smaller when deflated";
    case PackWriteResult::kBadName: return "name is empty, longer than 259 bytes or holds a zero byte";
    case PackWriteResult::kTooLarge: return "the pack would pass its size limit of 4 GiB";
    case PackWriteResult::kReadFailed: return "the source file cannot be read";
    case PackWriteResult::kWriteFailed: return "the pack file cannot be written";
    case PackWriteResult::kNoMemory: return "out of memory";
    case PackWriteResult::kNotWritable: return "the pack is not open for writing";
  }
  return "unknown result";
}

PackWriteResult CreatePack(const std::string& path, PackKind kind, PackPtr* pack, uint64_t sizeLimit) {
  pack->reset();
  platform::File file = platform::CreateReplacing(path);
  if (!file.IsOpen()) return PackWriteResult::kWriteFailed;
  return CreatePack(std::move(file), kind, pack, sizeLimit);
}

PackWriteResult CreatePack(platform::File file, PackKind kind, PackPtr* pack, uint64_t sizeLimit) {
  pack->reset();
  PackPtr handle(new (std::nothrow) PackHandle);
  if (!handle) return PackWriteResult::kNoMemory;
  handle->kind = kind;
  handle->mode = Mode::kWriteFailed;  // until the header is on disk
  handle->sizeLimit = std::min(sizeLimit, kMaxPackBytes);
  if (handle->sizeLimit < kHeaderBytes) return PackWriteResult::kTooLarge;
  handle->file = std::move(file);
  if (!handle->file.IsOpen() || platform::SeekFile(handle->file, 0, platform::SeekOrigin::kBegin) != 0 ||
      !platform::TruncateFile(handle->file, 0)) {
    return PackWriteResult::kWriteFailed;
  }
  uint8_t header[kHeaderBytes] = {};
  std::copy_n(PackMagic(kind).data(), kMagicBytes, header + kHeaderMagicOffset);
  std::copy_n(kUnfinishedMarker, sizeof kUnfinishedMarker, header + kHeaderDirectoryOffsetOffset);
  if (platform::WriteFile(handle->file, header, sizeof header) != static_cast<int64_t>(sizeof header)) {
    return PackWriteResult::kWriteFailed;
  }
  handle->dataEnd = kHeaderBytes;
  handle->mode = Mode::kWrite;
  *pack = std::move(handle);
  return PackWriteResult::kOk;
}

PackWriteResult AppendStoredEntry(PackHandle& pack, const std::string& name, platform::File& source) {
  if (!Writable(pack, PackKind::kStored)) return PackWriteResult::kNotWritable;
  if (!ValidName(name)) return PackWriteResult::kBadName;
  pack_internal::EnsureChunks(pack);
  DirectoryEntry entry;
  entry.name = name;
  entry.dataOffset = static_cast<uint32_t>(pack.dataEnd);
  uint32_t crc = 0;
  for (;;) {
    int64_t got = ReadSourceChunk(pack, source);
    if (got < 0) return Broken(pack, PackWriteResult::kReadFailed);
    if (got == 0) break;
    PackWriteResult r = WriteData(pack, pack.inChunk.data(), static_cast<size_t>(got));
    if (r != PackWriteResult::kOk) return r;
    crc = pack_internal::Crc32(crc, pack.inChunk.data(), static_cast<size_t>(got));
  }
  entry.packedSize = static_cast<uint32_t>(pack.dataEnd - entry.dataOffset);
  return AppendRecord(pack, entry, crc);
}

PackWriteResult AppendDeflatedEntry(PackHandle& pack, const std::string& name, platform::File& source,
                                    uint64_t packedLimit, int threads) {
  if (!Writable(pack, PackKind::kDeflated)) return PackWriteResult::kNotWritable;
  if (!ValidName(name)) return PackWriteResult::kBadName;
  DirectoryEntry entry;
  entry.name = name;
  entry.dataOffset = static_cast<uint32_t>(pack.dataEnd);
  uint32_t crc = 0;
  PackWriteResult written = PackWriteResult::kOk;
  bool overLimit = false;
  pack_internal::DeflateIo io;
  io.read = [&](uint8_t* buffer, size_t capacity) { return platform::ReadFile(source, buffer, capacity); };
  io.write = [&](const uint8_t* data, size_t size) {
    if (pack.dataEnd - entry.dataOffset + size >= packedLimit) {
      overLimit = true;
      return false;
    }
    written = WriteData(pack, data, size);
    crc = pack_internal::Crc32(crc, data, size);
    return written == PackWriteResult::kOk;
  };
  uint64_t unpacked = 0;
  // The unpacked size must fit its 32-bit field too.
  switch (pack_internal::DeflateStream(pack.deflater, io, threads, kMaxPackBytes, &unpacked)) {
    case pack_internal::DeflateOutcome::kDone: break;
    case pack_internal::DeflateOutcome::kReadFailed: return Broken(pack, PackWriteResult::kReadFailed);
    case pack_internal::DeflateOutcome::kNoMemory: return Broken(pack, PackWriteResult::kNoMemory);
    case pack_internal::DeflateOutcome::kTooLarge: return Broken(pack, PackWriteResult::kTooLarge);
    case pack_internal::DeflateOutcome::kStopped:
      if (!overLimit) return written;
      return Rewind(pack, entry.dataOffset) == PackWriteResult::kOk ? PackWriteResult::kNotSmaller
                                                                     : PackWriteResult::kWriteFailed;
  }
  entry.packedSize = static_cast<uint32_t>(pack.dataEnd - entry.dataOffset);
  entry.unpackedSize = static_cast<uint32_t>(unpacked);
  return AppendRecord(pack, entry, crc);
}

PackWriteResult AppendEntryFrom(PackHandle& pack, PackHandle& from, const DirectoryEntry& entry) {
  if (pack.mode != Mode::kWrite || from.kind != pack.kind || from.mode != Mode::kRead) {
    return PackWriteResult::kNotWritable;
  }
  if (!ValidName(entry.name)) return PackWriteResult::kBadName;
  pack_internal::EnsureChunks(pack);
  DirectoryEntry moved = entry;
  moved.dataOffset = static_cast<uint32_t>(pack.dataEnd);
  uint32_t crc = 0;
  for (uint64_t done = 0; done < entry.packedSize;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(entry.packedSize - done, pack.inChunk.size()));
    if (!platform::ReadFileAt(from.file, static_cast<int64_t>(entry.dataOffset + done), pack.inChunk.data(), piece)) {
      return Broken(pack, PackWriteResult::kReadFailed);
    }
    const PackWriteResult r = WriteData(pack, pack.inChunk.data(), piece);
    if (r != PackWriteResult::kOk) return r;
    crc = pack_internal::Crc32(crc, pack.inChunk.data(), piece);
    done += piece;
  }
  return AppendRecord(pack, moved, crc);
}

platform::File& PackFile(PackHandle& pack) { return pack.file; }

uint64_t DataEnd(const PackHandle& pack) { return pack.dataEnd; }

size_t EntryCount(const PackHandle& pack) { return pack.entryCount; }

uint64_t EntryDataBytes(const PackHandle& pack) { return pack.dataEnd - kHeaderBytes; }

PackWriteResult AddEntryRecord(PackHandle& pack, const DirectoryEntry& entry) {
  if (pack.mode != Mode::kWrite) return PackWriteResult::kNotWritable;
  if (!ValidName(entry.name)) return PackWriteResult::kBadName;
  const uint64_t end = uint64_t{entry.dataOffset} + entry.packedSize;
  if (end > pack.sizeLimit) return Broken(pack, PackWriteResult::kTooLarge);
  if (end > pack.dataEnd) pack.dataEnd = end;
  // The data came from the caller: its checksum is taken from the pack.
  uint32_t crc = 0;
  if (!pack_internal::ChecksumFileRange(pack.file, entry.dataOffset, entry.packedSize, pack.inChunk, &crc) ||
      platform::SeekFile(pack.file, static_cast<int64_t>(pack.dataEnd), platform::SeekOrigin::kBegin) < 0) {
    return Broken(pack, PackWriteResult::kWriteFailed);
  }
  return AppendRecord(pack, entry, crc);
}

PackWriteResult FinishPack(PackHandle& pack) {
  if (pack.mode != Mode::kWrite) return PackWriteResult::kNotWritable;
  const std::vector<uint8_t>& records = pack.directoryBuffer;
  std::vector<uint8_t> compressed;
  const uint8_t* directory = records.data();
  size_t directoryBytes = records.size();
  if (pack.kind != PackKind::kStored) {
    // compressBound is enough for any input, an empty directory included.
    uLongf length = compressBound(static_cast<uLong>(records.size()));
    compressed.resize(length);
    if (compress2(compressed.data(), &length, records.data(), static_cast<uLong>(records.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
      return Broken(pack, PackWriteResult::kNoMemory);
    }
    directory = compressed.data();
    directoryBytes = length;
  }
  const uint64_t directoryOffset = pack.dataEnd;
  if (platform::SeekFile(pack.file, static_cast<int64_t>(directoryOffset), platform::SeekOrigin::kBegin) < 0) {
    return Broken(pack, PackWriteResult::kWriteFailed);
  }
  PackWriteResult r = WriteData(pack, directory, directoryBytes);
  if (r != PackWriteResult::kOk) return r;
  // The checksums follow the directory, where readers of the format look
  // for nothing.
  const std::vector<uint8_t> trailer = pack_internal::BuildChecksumTrailer(pack.checksums);
  r = WriteData(pack, trailer.data(), trailer.size());
  if (r != PackWriteResult::kOk) return r;
  if (!platform::TruncateFile(pack.file, static_cast<int64_t>(pack.dataEnd))) {
    return Broken(pack, PackWriteResult::kWriteFailed);
  }
  // Only now, with the directory in place, does the header point at it.
  uint8_t fields[8];
  StoreU32(fields, static_cast<uint32_t>(directoryOffset));
  StoreU32(fields + 4, static_cast<uint32_t>(records.size()));
  if (platform::SeekFile(pack.file, kHeaderDirectoryOffsetOffset, platform::SeekOrigin::kBegin) < 0 ||
      platform::WriteFile(pack.file, fields, sizeof fields) != static_cast<int64_t>(sizeof fields)) {
    return Broken(pack, PackWriteResult::kWriteFailed);
  }
  pack.mode = Mode::kClosed;
  if (!platform::CloseFile(pack.file)) return PackWriteResult::kWriteFailed;
  return PackWriteResult::kOk;
}

void AbandonPack(PackPtr pack) { pack.reset(); }
