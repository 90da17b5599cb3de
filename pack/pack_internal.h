// SPDX-License-Identifier: GPL-2.0-or-later
// Internals shared by the pack module's source files: the handle's fields,
// the reusable deflate and inflate states, the chunked data helpers and what
// the Audio entry writer uses of the reader and writer. Not for callers
// outside pack/.
#pragma once

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pack/pack.h"

namespace pack_internal {

// Bytes moved per read, write or inflate step. Two buffers of this size are
// kept per handle and reused across entries.
inline constexpr size_t kChunkBytes = 256 * 1024;

// Largest directory (records, inflated) a pack may have. A corrupt header may
// announce any size; memory is only taken as records actually arrive.
inline constexpr size_t kMaxDirectoryBytes = size_t{512} << 20;

enum class Mode { kRead, kWrite, kWriteFailed, kClosed };

// zlib's deflate at the entries' level (the writer), set up on first use and reset for
// every later stream, so that its window is allocated once per handle.
class Deflater {
 public:
  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater();

  // Makes the stream ready for a new zlib stream. Returns false when zlib
  // cannot set it up (memory).
  [[nodiscard]] bool Start();
  z_stream& get() { return stream_; }

 private:
  bool ready_ = false;
  z_stream stream_{};
};

// ISA-L's inflate state (about 85 KiB, its window included), allocated on
// first use and reused for every stream of the handle.
class Inflater {
 public:
  // Readies the state for a new zlib stream (header and Adler-32 trailer
  // checked by ISA-L). Null when the memory cannot be had.
  [[nodiscard]] inflate_state* Start();

 private:
  std::unique_ptr<inflate_state> state_;
};

// Receives output in chunks; returns false to stop with a failure.
using ChunkSink = std::function<bool(const uint8_t* data, size_t size)>;

// Copies from the pack into an output file inside the kernel; the shape of
// platform::CopyFileRange.
using CopyRange = int64_t (*)(platform::File& from, int64_t offset, platform::File& to, size_t count);

// Bytes handed to the kernel per copy step: large enough that the calls
// cost nothing, small enough that a signal is seen between them.
inline constexpr size_t kKernelCopyBytes = size_t{64} << 20;

enum class DataResult { kOk, kReadFailed, kCorrupt, kTooLong, kNoMemory, kSinkFailed };

// Why an entry whose name ends in a separator or ".", or is empty, fails.
// The zlib level of Deflated entries: zlib's default, which gives within
// about 1 % of level 9's size at a third of its time (the directories stay
// at level 9).
inline constexpr int kEntryDeflateLevel = 6;

inline constexpr char kNotAFileName[] = "the name is not a file name (it names a folder, or nothing)";

}  // namespace pack_internal

struct PackHandle {
  platform::File file;
  PackKind kind = PackKind::kStored;
  pack_internal::Mode mode = pack_internal::Mode::kRead;
  // Directory records (inflated for Audio and Deflated packs); the reader's
  // cursor is the offset of the next record in it.
  std::vector<uint8_t> directoryBuffer;
  size_t cursor = 0;
  uint64_t fileSize = 0;  // read mode: the pack's size when opened
  // Read mode, for PackSafeToDelete: whether the directory ends at the end
  // of the file (or a valid checksum trailer follows it), and why an entry
  // handed out makes deleting unsafe.
  bool directoryAtEnd = false;
  std::string unsafeToDelete;
  // Records handed out by NextRecord since the start of the directory.
  size_t recordsRead = 0;
  // The checksum of each entry's packed data, by record: read mode, from a
  // valid trailer (else empty); write mode, of the entries added so far.
  std::vector<uint32_t> checksums;
  PackChecksums checksumState = PackChecksums::kNone;
  std::string checksumProblem;  // why a trailer is damaged
  // Write mode.
  uint64_t dataEnd = kHeaderBytes;
  uint64_t sizeLimit = kMaxPackBytes;
  size_t entryCount = 0;
  // Reused across entries.
  std::vector<uint8_t> inChunk;
  std::vector<uint8_t> outChunk;
  pack_internal::Inflater inflater;
  // How Stored data reaches an output file without passing through the
  // chunks; tests put one in its place that refuses or stops early.
  pack_internal::CopyRange copyRange = platform::CopyFileRange;
  pack_internal::Deflater deflater;
};

namespace pack_internal {

// Makes sure both chunk buffers exist.
void EnsureChunks(PackHandle& pack);

// The output file that a chunk sink writes to (at its position), so that a
// copy can reach it inside the kernel; `copied` hears of the bytes each
// kernel step put there.
struct KernelCopyTarget {
  platform::File* file = nullptr;
  std::function<void(size_t bytes)> copied;
};

// Passes `length` bytes of the pack file at `offset` to `sink`, chunk by
// chunk. With a `target` (the file `sink` writes to) the bytes are first
// copied from the pack into it inside the kernel (see pack.copyRange), and
// the chunks carry on from where the kernel refuses, fails or stops, so a
// read or write fault is met, and reported, there.
[[nodiscard]] DataResult CopyFromPack(PackHandle& pack, uint64_t offset, uint64_t length, const ChunkSink& sink,
                                      const KernelCopyTarget* target = nullptr);

// Inflates the zlib stream in the `length` bytes of the pack file at `offset`
// with the outcome of zlib's uncompress into a buffer of `capacity` bytes:
// kTooLong when the stream gives more, kCorrupt when it is damaged (its
// header, its data or its Adler-32 trailer) or ends early; bytes after the
// stream's end are ignored. Output goes to `sink` as
// it is produced (so a failing call may have passed part of it); *produced
// receives the bytes inflated. `detail` receives zlib's message if any;
// `unread`, when given, on kOk the bytes of `length` after the stream's end.
[[nodiscard]] DataResult InflateFromPack(PackHandle& pack, uint64_t offset, uint64_t length, uint64_t capacity,
                                         const ChunkSink& sink, uint64_t* produced, std::string* detail,
                                         uint64_t* unread = nullptr);

// Where an output file goes: `path` ('/'-separated, relative) under
// `destination`, or, with `stream` set, into an unnamed temporary file
// whose bytes are copied to `stream` once complete (DeliverOutput); `shown`
// names it in messages. `written`, when set, hears of the bytes written.
struct OutputFile {
  platform::Destination* destination = nullptr;
  std::string path;
  std::string shown;
  platform::File* stream = nullptr;
  const std::function<void(uint64_t bytes)>* written = nullptr;
  OutputBudget* budget = nullptr;  // the run's allowance, when there is one
};

// Creates the pending file of `output`. Returns 0, -6 when the destination
// keeps the file already there, or -2; `reason` set on failure.
[[nodiscard]] int CreateOutput(const OutputFile& output, platform::PendingFile* pending, std::string* reason);

// Puts the pending file of `output` under its name (for a stream: only
// closes it). Returns 0, -6 when a file of that name appeared meanwhile and
// the destination keeps it, or -2; `reason` set on failure.
[[nodiscard]] int CommitOutput(const OutputFile& output, platform::PendingFile& pending, std::string* reason);

// For a stream output: copies the complete file, read through `written` (a
// descriptor of it) from its start, to the stream. Returns 0, or -2 with
// `reason` set. Does nothing for a file under a destination.
[[nodiscard]] int DeliverOutput(const OutputFile& output, platform::File& written, std::string* reason);

// Tells `output.written`, when set, of `bytes` written so far.
void ReportWritten(const OutputFile& output, uint64_t bytes);

// Whether an entry may be written under `name`: not longer than 259 bytes,
// and inside the destination (see NameStaysInside). Returns 0 or -2 with
// `reason` set.
[[nodiscard]] int CheckEntryName(const std::string& name, bool emptyDestination, std::string* reason);

// CheckEntryName under the destination `destination` (its path), and the
// joined output path not longer than 259 bytes. Returns 0 or -2.
[[nodiscard]] int CheckOutputName(const std::string& destination, const std::string& name, std::string* reason);

// Stores `reason` when the caller asked for it; returns `code`.
int Fail(std::string* reason, int code, const std::string& text);

// ---- Checksums (pack_checksums.cpp) ----------------------------------------

// CRC-32 (zlib's crc32) of `size` bytes, continuing from `crc` (0 to start).
[[nodiscard]] uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);

// The CRC-32 of `length` bytes of `file` at `offset`, read through `chunk`
// (resized to kChunkBytes). False, with errno set, when they cannot be read.
[[nodiscard]] bool ChecksumFileRange(platform::File& file, uint64_t offset, uint64_t length,
                                     std::vector<uint8_t>& chunk, uint32_t* crc);

// Reads the checksum trailer that may follow a directory ending at
// `directoryEnd` (the whole file after it): sets pack.directoryAtEnd,
// checksums, checksumState and checksumProblem. REQUIRES: the directory
// read, the pack in read mode at its first record.
void ReadChecksumTrailer(PackHandle& pack, uint64_t directoryEnd);

// The trailer of a pack whose entries' checksums are `checksums`.
[[nodiscard]] std::vector<uint8_t> BuildChecksumTrailer(const std::vector<uint32_t>& checksums);

// Reads the packed data of `entry` and compares it with its checksum; 0
// when they match, when the pack has no checksum for it, or when the data
// cannot be read (the entry's own reading then fails on it), else -2 (-4
// for an Audio entry) with `reason` set.
[[nodiscard]] int CheckPackedData(PackHandle& pack, const DirectoryEntry& entry, std::string* reason);

// For a Stored entry written to `output` (its first packedSize bytes): the
// same check over the bytes as they were written, read back.
[[nodiscard]] int CheckWrittenData(PackHandle& pack, const DirectoryEntry& entry, platform::File& output,
                                   std::string* reason);

}  // namespace pack_internal

// For the writer of Audio entries (audio_entry_write.cpp), which puts an
// entry's data into the pack itself and tries it before adding its record.

// The pack's file, positioned at DataEnd(), where the next entry's data
// begins.
[[nodiscard]] platform::File& PackFile(PackHandle& pack);
[[nodiscard]] uint64_t DataEnd(const PackHandle& pack);

// Adds a record for data already written at entry.dataOffset (normally the
// DataEnd() before writing), reading the data back for its checksum, and
// moves the data end past it. Refuses (kTooLarge, the pack then unable to
// finish) data beyond the size limit, and (kWriteFailed) data that cannot
// be read back.
[[nodiscard]] PackWriteResult AddEntryRecord(PackHandle& pack, const DirectoryEntry& entry);

// Restores the Audio entry `entry` of `pack` (read or write mode) as the file
// `path` ('/'-separated, used as it is) under `destination`, as NextEntry
// does for an Audio entry. Returns 0 with *unpackedSize set, or -1 to -4 as
// NextEntry does. Moves the pack file: a writer then goes on at DataEnd().
// REQUIRES: an Audio pack.
[[nodiscard]] int RestoreAudioData(PackHandle& pack, const DirectoryEntry& entry, platform::Destination& destination,
                                   const std::string& path, uint32_t* unpackedSize, std::string* reason = nullptr);
