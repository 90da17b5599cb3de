// SPDX-License-Identifier: GPL-2.0-or-later
// The pack reader: opening a pack, walking its directory and writing each
// Stored or Deflated entry as a file; Audio entries go to RestoreAudioEntry.
#include <cerrno>
#include <cstring>
#include <new>

#include "audio/codec_libraries/codec_libraries.h"
#include "pack/audio_entry_read.h"
#include "pack/entry_limits.h"
#include "pack/pack_internal.h"

using pack_internal::DataResult;
using pack_internal::Fail;
using pack_internal::Mode;

namespace {

std::string SystemError() { return std::strerror(errno); }

// Reads the raw directory of a Stored pack; *end receives the offset of its
// end. Returns 0 or -1.
int ReadStoredDirectory(PackHandle& pack, uint64_t offset, uint64_t size, uint64_t* end, std::string* reason) {
  if (offset > pack.fileSize || size > pack.fileSize - offset) {
    return Fail(reason, kPackNoMemory, "directory runs past the end of the file");
  }
  if (size > pack_internal::kMaxDirectoryBytes) return Fail(reason, kPackNoMemory, "directory too large");
  *end = offset + size;
  pack.directoryBuffer.resize(static_cast<size_t>(size));
  if (size > 0 && !platform::ReadFileAt(pack.file, static_cast<int64_t>(offset), pack.directoryBuffer.data(),
                                        pack.directoryBuffer.size())) {
    return Fail(reason, kPackNoMemory, "directory cannot be read: " + SystemError());
  }
  return kPackOk;
}

// Inflates the directory of an Audio or Deflated pack: every byte from
// `offset` to the end of the file, into at most `capacity` bytes; *end
// receives the offset where its zlib stream ends. Memory grows with the
// records that actually arrive. Returns 0, -1 or -2.
int ReadCompressedDirectory(PackHandle& pack, uint64_t offset, uint64_t capacity, uint64_t* end,
                            std::string* reason) {
  if (offset > pack.fileSize) return Fail(reason, kPackNoMemory, "directory runs past the end of the file");
  std::vector<uint8_t>& records = pack.directoryBuffer;
  bool tooLarge = false;
  auto append = [&](const uint8_t* data, size_t size) {
    if (size > pack_internal::kMaxDirectoryBytes - records.size()) {
      tooLarge = true;
      return false;
    }
    records.insert(records.end(), data, data + size);
    return true;
  };
  uint64_t produced = 0;
  uint64_t unread = 0;
  std::string detail;
  DataResult r = pack_internal::InflateFromPack(pack, offset, pack.fileSize - offset, capacity, append, &produced,
                                                &detail, &unread);
  switch (r) {
    case DataResult::kOk:
      *end = pack.fileSize - unread;
      return kPackOk;
    case DataResult::kReadFailed:
      return Fail(reason, kPackNoMemory, "directory cannot be read: " + SystemError());
    case DataResult::kNoMemory: return Fail(reason, kPackNoMemory, "out of memory for the directory");
    case DataResult::kSinkFailed:
      return Fail(reason, kPackNoMemory, tooLarge ? "directory too large" : "directory cannot be kept");
    case DataResult::kTooLong:
      return Fail(reason, kPackFileError, "directory inflates to more than its recorded size");
    case DataResult::kCorrupt: break;
  }
  return Fail(reason, kPackFileError, "directory does not inflate (" + detail + ")");
}

// Where the entry `name` goes under `destination`, after the checks that keep
// it inside. Returns 0 or -2.
int OutputFor(platform::Destination& destination, const std::string& name, pack_internal::OutputFile* output,
              std::string* reason) {
  if (const int rc = pack_internal::CheckOutputName(destination.path(), name, reason); rc != kPackOk) return rc;
  const std::string joined = JoinEntryPath(destination.path(), name);
  output->destination = &destination;
  output->path = EntryPathUnderDestination(name);
  output->shown = platform::MapPath(joined);
  return kPackOk;
}

// Whether the entry's data lies inside the pack file (for a pack being
// written, inside what has been written so far). Returns 0 or -2.
int CheckDataInsidePack(PackHandle& pack, const DirectoryEntry& entry, std::string* reason) {
  const int64_t size = pack.mode == Mode::kRead ? static_cast<int64_t>(pack.fileSize) : platform::FileSize(pack.file);
  if (size >= 0 && uint64_t{entry.dataOffset} + entry.packedSize <= static_cast<uint64_t>(size)) return kPackOk;
  return Fail(reason, kPackFileError, "data runs past the end of the pack");
}

// Positions the pack file at an Audio entry's data. Returns 0 or -2.
int SeekAudioData(PackHandle& pack, const DirectoryEntry& entry, std::string* reason) {
  if (const int rc = CheckDataInsidePack(pack, entry, reason); rc != kPackOk) return rc;
  if (platform::SeekFile(pack.file, entry.dataOffset, platform::SeekOrigin::kBegin) < 0) {
    return Fail(reason, kPackFileError, "cannot move to the entry's data: " + SystemError());
  }
  return kPackOk;
}

// Reads or inflates the data of a Stored or Deflated entry into `sink`, which
// writes to `target`'s file when given (see CopyFromPack). Returns 0 with
// *unpacked set, or -1/-2; `sinkError` explains a sink failure (it is read
// only after the sink has failed). REQUIRES: CheckDataInsidePack accepted
// the entry.
int ExtractData(PackHandle& pack, const DirectoryEntry& entry, const pack_internal::ChunkSink& sink,
                const pack_internal::KernelCopyTarget* target, uint32_t* unpacked, const std::string& sinkError,
                std::string* reason) {
  DataResult r;
  std::string detail;
  if (pack.kind == PackKind::kDeflated) {
    uint64_t produced = 0;
    r = pack_internal::InflateFromPack(pack, entry.dataOffset, entry.packedSize, entry.unpackedSize, sink, &produced,
                                       &detail);
    *unpacked = static_cast<uint32_t>(produced);
  } else {
    r = pack_internal::CopyFromPack(pack, entry.dataOffset, entry.packedSize, sink, target);
    *unpacked = entry.packedSize;
  }
  switch (r) {
    case DataResult::kOk: return kPackOk;
    case DataResult::kReadFailed: return Fail(reason, kPackFileError, "data cannot be read: " + SystemError());
    case DataResult::kNoMemory: return Fail(reason, kPackNoMemory, "out of memory for inflating");
    case DataResult::kSinkFailed: return Fail(reason, kPackFileError, sinkError);
    case DataResult::kTooLong: return Fail(reason, kPackFileError, "data inflates to more than its recorded size");
    case DataResult::kCorrupt: break;
  }
  return Fail(reason, kPackFileError, "data does not inflate (" + detail + ")");
}

// The most bytes a Stored or Deflated entry writes: its data, or what its
// record says it inflates to (inflating stops beyond it).
uint64_t MostWritten(const PackHandle& pack, const DirectoryEntry& entry) {
  return pack.kind == PackKind::kDeflated ? entry.unpackedSize : entry.packedSize;
}

// Writes a Stored or Deflated entry as `output` through a pending file.
int WriteEntryFile(PackHandle& pack, const DirectoryEntry& entry, const pack_internal::OutputFile& output,
                   uint32_t* unpacked, std::string* reason) {
  if (const int rc = CheckDataInsidePack(pack, entry, reason); rc != kPackOk) return rc;
  if (const int rc = pack_internal::ReserveOutput(output.budget, MostWritten(pack, entry), reason); rc != kPackOk) {
    return rc;
  }
  // Deflated data is checked before it is inflated, Stored data as written.
  if (pack.kind == PackKind::kDeflated) {
    if (const int rc = pack_internal::CheckPackedData(pack, entry, reason); rc != kPackOk) return rc;
  }
  platform::PendingFile file;
  if (const int rc = pack_internal::CreateOutput(output, &file, reason); rc != kPackOk) return rc;
  // A stream output is read back through a second descriptor once complete.
  platform::File written = output.stream != nullptr ? platform::DuplicateFile(file.file()) : platform::File();
  std::string writeError;
  uint64_t total = 0;
  auto count = [&](size_t size) { pack_internal::ReportWritten(output, total += size); };
  auto write = [&](const uint8_t* data, size_t size) {
    if (platform::WriteFile(file.file(), data, size) != static_cast<int64_t>(size)) {
      writeError = "cannot write " + output.shown + ": " + SystemError();
      return false;
    }
    count(size);
    return true;
  };
  const pack_internal::KernelCopyTarget target{&file.file(), count};
  // writeError is filled by the sink before ExtractData reads it.
  int rc = ExtractData(pack, entry, write, &target, unpacked, writeError, reason);
  if (rc == kPackOk && pack.kind != PackKind::kDeflated) {
    rc = pack_internal::CheckWrittenData(pack, entry, file.file(), reason);
  }
  if (rc == kPackOk) rc = pack_internal::CommitOutput(output, file, reason);
  if (rc == kPackOk) rc = pack_internal::DeliverOutput(output, written, reason);
  if (rc == kPackOk) pack_internal::ChargeOutput(output.budget, *unpacked);
  return rc;
}

// Restores an Audio entry as `output`.
int RestoreAudioOutput(PackHandle& pack, const DirectoryEntry& entry, const pack_internal::OutputFile& output,
                       uint32_t* unpackedSize, std::string* reason) {
  *unpackedSize = 0;
  int rc = SeekAudioData(pack, entry, reason);
  if (rc == kPackOk) rc = pack_internal::CheckPackedData(pack, entry, reason);
  if (rc != kPackOk) return rc;
  return RestoreAudioEntry(output, entry.info, pack.file, entry.name.c_str(), entry.packedSize, unpackedSize,
                           entry.streamFormat, reason);
}

// Reads, inflates or decodes an entry as ExtractEntry does without writing,
// counting what it would write against `budget`.
int CheckEntry(PackHandle& pack, const DirectoryEntry& entry, OutputBudget* budget, uint32_t* unpackedSize,
               std::string* reason) {
  if (const int rc = pack_internal::CheckEntryName(entry.name, false, reason); rc != kPackOk) return rc;
  if (const int rc = CheckDataInsidePack(pack, entry, reason); rc != kPackOk) return rc;
  if (const int rc = pack_internal::CheckPackedData(pack, entry, reason); rc != kPackOk) return rc;
  if (pack.kind == PackKind::kAudio) {
    *unpackedSize = 0;
    const int rc = SeekAudioData(pack, entry, reason);
    if (rc != kPackOk) return rc;
    return CheckAudioEntry(entry.info, pack.file, entry.name.c_str(), entry.packedSize, entry.streamFormat, budget,
                           reason);
  }
  if (const int rc = pack_internal::ReserveOutput(budget, MostWritten(pack, entry), reason); rc != kPackOk) return rc;
  auto discard = [](const uint8_t*, size_t) { return true; };
  const int rc = ExtractData(pack, entry, discard, nullptr, unpackedSize, std::string(), reason);
  if (rc == kPackOk) pack_internal::ChargeOutput(budget, *unpackedSize);
  return rc;
}

}  // namespace

namespace pack_internal {

int CheckEntryName(const std::string& name, bool emptyDestination, std::string* reason) {
  if (name.size() > kMaxNameBytes) return Fail(reason, kPackFileError, "name longer than 259 bytes");
  if (NameStaysInside(name, emptyDestination)) return kPackOk;
  if (platform::SplitRelativePath(EntryPathUnderDestination(name)) == platform::RelativePath::kNoFile) {
    return Fail(reason, kPackFileError, kNotAFileName);
  }
  return Fail(reason, kPackFileError, "name would leave the destination directory");
}

int CheckOutputName(const std::string& destination, const std::string& name, std::string* reason) {
  if (const int rc = CheckEntryName(name, destination.empty(), reason); rc != kPackOk) return rc;
  if (JoinEntryPath(destination, name).size() > kMaxPathBytes) {
    return Fail(reason, kPackFileError, "output path longer than 259 bytes");
  }
  return kPackOk;
}

}  // namespace pack_internal

void PackCloser::operator()(PackHandle* pack) const {
  if (pack == nullptr) return;
  // Never finished here: a handle that goes away on an error path leaves a
  // pack in write mode with its unfinished marker.
  platform::CloseFile(pack->file);
  pack->mode = Mode::kClosed;
  UnloadCodecLibraries();
  delete pack;
}

void ClosePack(PackPtr pack) {
  if (pack && pack->mode == Mode::kWrite) (void)FinishPack(*pack);
  pack.reset();
}

int OpenPack(const std::string& path, PackKind kind, PackPtr* pack, std::string* reason, PackAccess access) {
  pack->reset();
  if (reason != nullptr) reason->clear();
  PackPtr handle(new (std::nothrow) PackHandle);
  if (!handle) return Fail(reason, kPackNoMemory, "out of memory");
  handle->kind = kind;
  handle->file = access == PackAccess::kReadWrite ? platform::OpenExistingReadWrite(path)
                                                  : platform::OpenExistingReadOnly(path);
  if (!handle->file.IsOpen()) {
    int error = errno;
    return Fail(reason, kPackFileError,
                error == ENOENT ? std::string() : "cannot open: " + platform::OpenFailureReason(path, error));
  }
  uint8_t header[kHeaderBytes];
  if (!platform::ReadFileAt(handle->file, 0, header, sizeof header)) {
    return Fail(reason, kPackBadPack, "too short for a pack header");
  }
  std::string_view magic = PackMagic(kind);
  if (std::memcmp(header + kHeaderMagicOffset, magic.data(), kMagicBytes) != 0) {
    return Fail(reason, kPackBadPack, "not a pack of this kind (magic is not " + std::string(magic) + ")");
  }
  if (std::memcmp(header + kHeaderDirectoryOffsetOffset, kUnfinishedMarker, sizeof kUnfinishedMarker) == 0) {
    return Fail(reason, kPackBadPack, "unfinished pack");
  }
  uint32_t directoryOffset = LoadU32(header + kHeaderDirectoryOffsetOffset);
  uint32_t directorySize = LoadU32(header + kHeaderDirectorySizeOffset);
  int64_t size = platform::FileSize(handle->file);
  if (size < 0) return Fail(reason, kPackFileError, "cannot measure: " + SystemError());
  handle->fileSize = static_cast<uint64_t>(size);
  uint64_t directoryEnd = 0;
  int rc = kind == PackKind::kStored
               ? ReadStoredDirectory(*handle, directoryOffset, directorySize, &directoryEnd, reason)
               : ReadCompressedDirectory(*handle, directoryOffset, directorySize, &directoryEnd, reason);
  if (rc != kPackOk) return rc;
  handle->cursor = 0;
  handle->mode = Mode::kRead;
  pack_internal::ReadChecksumTrailer(*handle, directoryEnd);
  *pack = std::move(handle);
  return kPackOk;
}

int NextRecord(PackHandle& pack, DirectoryEntry* entry, std::string* reason) {
  const std::vector<uint8_t>& records = pack.directoryBuffer;
  if (pack.mode != Mode::kRead) return Fail(reason, kPackFileError, "pack is not open for reading");
  if (pack.cursor >= records.size()) return kPackEnd;
  const size_t remaining = records.size() - pack.cursor;
  const uint8_t* p = records.data() + pack.cursor;
  if (remaining < kRecordNameLengthBytes) {
    pack.cursor = records.size();
    return Fail(reason, kPackBadPack, "directory record runs past the end of the directory");
  }
  const auto nameLength = static_cast<int16_t>(LoadU16(p));
  if (nameLength < 0) {
    pack.cursor = records.size();
    return Fail(reason, kPackBadPack, "directory record with a negative name length");
  }
  const size_t nameBytes = static_cast<size_t>(nameLength);
  const size_t recordBytes = nameBytes + RecordFixedBytes(pack.kind);
  if (remaining < recordBytes) {
    pack.cursor = records.size();
    return Fail(reason, kPackBadPack, "directory record runs past the end of the directory");
  }
  const uint8_t* q = p + kRecordNameLengthBytes;
  entry->name.assign(reinterpret_cast<const char*>(q), nameBytes);
  q += nameBytes;
  entry->dataOffset = LoadU32(q);
  entry->packedSize = LoadU32(q + 4);
  q += 8;
  entry->unpackedSize = 0;
  entry->streamFormat = 0;
  entry->info = AudioInfo{};
  if (pack.kind == PackKind::kDeflated) {
    entry->unpackedSize = LoadU32(q);
  } else if (pack.kind == PackKind::kAudio) {
    entry->streamFormat = LoadU32(q);
    entry->info = LoadAudioInfo(q + 4);
  }
  pack.cursor += recordBytes;
  entry->index = pack.recordsRead++;
  return kPackOk;
}

void RewindDirectory(PackHandle& pack) {
  pack.cursor = 0;
  pack.recordsRead = 0;
}

int ExtractEntry(PackHandle& pack, const DirectoryEntry& entry, const EntryOutput& output, uint32_t* unpackedSize,
                 std::string* reason) {
  *unpackedSize = 0;
  if (output.destination == nullptr && output.stream == nullptr) {
    return CheckEntry(pack, entry, output.budget, unpackedSize, reason);
  }
  pack_internal::OutputFile out;
  if (output.destination != nullptr) {
    if (const int rc = OutputFor(*output.destination, entry.name, &out, reason); rc != kPackOk) return rc;
  } else {
    out.stream = output.stream;
    out.shown = platform::MapPath(entry.name);
  }
  out.written = &output.written;
  out.budget = output.budget;
  if (pack.kind == PackKind::kAudio) return RestoreAudioOutput(pack, entry, out, unpackedSize, reason);
  const int rc = WriteEntryFile(pack, entry, out, unpackedSize, reason);
  if (rc == kPackOk && pack.kind == PackKind::kDeflated && *unpackedSize != entry.unpackedSize &&
      pack.unsafeToDelete.empty()) {
    pack.unsafeToDelete = "entry \"" + entry.name + "\" inflates to " + std::to_string(*unpackedSize) +
                          " bytes, recorded " + std::to_string(entry.unpackedSize);
  }
  return rc;
}

int NextEntry(platform::Destination& destination, std::string* entryName, PackHandle& pack, uint32_t* packedSize,
              uint32_t* unpackedSize, std::string* reason, OutputBudget* budget) {
  DirectoryEntry entry;
  entryName->clear();
  const int rc = NextRecord(pack, &entry, reason);
  if (rc != kPackOk) return rc;
  *entryName = entry.name;
  *packedSize = entry.packedSize;
  EntryOutput output;
  output.destination = &destination;
  output.budget = budget;
  return ExtractEntry(pack, entry, output, unpackedSize, reason);
}

bool ClosePackAndDelete(PackPtr pack, const std::string& path, std::string* why) {
  const bool safe = PackSafeToDelete(*pack, why);
  ClosePack(std::move(pack));
  if (!safe) return false;
  if (platform::DeleteFileByName(path)) return true;
  *why = "it cannot be deleted: " + SystemError();
  return false;
}

bool PackSafeToDelete(const PackHandle& pack, std::string* why) {
  if (pack.mode != Mode::kRead || pack.cursor < pack.directoryBuffer.size()) {
    *why = "not every entry was unpacked";
  } else if (!pack.directoryAtEnd) {
    *why = "the directory does not end at the end of the file (records may be hidden)";
    if (!pack.checksumProblem.empty()) *why += ": " + pack.checksumProblem;
  } else {
    *why = pack.unsafeToDelete;
  }
  return why->empty();
}

int RestoreAudioData(PackHandle& pack, const DirectoryEntry& entry, platform::Destination& destination,
                     const std::string& path, uint32_t* unpackedSize, std::string* reason) {
  const std::string& base = destination.path();
  return RestoreAudioOutput(pack, entry, {&destination, path, base.empty() ? path : base + "/" + path},
                            unpackedSize, reason);
}
