// Internals shared by the pack module's source files: the handle's fields,
// the reusable zlib streams and the chunked data helpers. Not for callers
// outside pack/.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
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

// A zlib stream set up on first use and reset for every later one, so that
// its window is allocated once per handle.
class ZStream {
 public:
  enum class Direction { kInflate, kDeflate };
  explicit ZStream(Direction direction) : direction_(direction) {}
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
  ~ZStream();

  // Makes the stream ready for a new zlib stream (deflate at level 9).
  // Returns false when zlib cannot set it up (memory).
  [[nodiscard]] bool Start();
  z_stream& get() { return stream_; }

 private:
  Direction direction_;
  bool ready_ = false;
  z_stream stream_{};
};

// Receives output in chunks; returns false to stop with a failure.
using ChunkSink = std::function<bool(const uint8_t* data, size_t size)>;

enum class DataResult { kOk, kReadFailed, kCorrupt, kTooLong, kNoMemory, kSinkFailed };

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
  // of the file, and why an entry handed out makes deleting unsafe.
  bool directoryAtEnd = false;
  std::string unsafeToDelete;
  // Write mode.
  uint64_t dataEnd = kHeaderBytes;
  uint64_t sizeLimit = kMaxPackBytes;
  size_t entryCount = 0;
  // Reused across entries.
  std::vector<uint8_t> inChunk;
  std::vector<uint8_t> outChunk;
  pack_internal::ZStream inflater{pack_internal::ZStream::Direction::kInflate};
  pack_internal::ZStream deflater{pack_internal::ZStream::Direction::kDeflate};
};

namespace pack_internal {

// Makes sure both chunk buffers exist.
void EnsureChunks(PackHandle& pack);

// Passes `length` bytes of the pack file at `offset` to `sink`, chunk by chunk.
[[nodiscard]] DataResult CopyFromPack(PackHandle& pack, uint64_t offset, uint64_t length, const ChunkSink& sink);

// Inflates the zlib stream in the `length` bytes of the pack file at `offset`
// with the outcome of zlib's uncompress into a buffer of `capacity` bytes:
// kTooLong when the stream gives more, kCorrupt when it is damaged or ends
// early; bytes after the stream's end are ignored. Output goes to `sink` as
// it is produced (so a failing call may have passed part of it); *produced
// receives the bytes inflated. `detail` receives zlib's message if any;
// `unread`, when given, on kOk the bytes of `length` after the stream's end.
[[nodiscard]] DataResult InflateFromPack(PackHandle& pack, uint64_t offset, uint64_t length, uint64_t capacity,
                                         const ChunkSink& sink, uint64_t* produced, std::string* detail,
                                         uint64_t* unread = nullptr);

// Where an output file goes: `path` ('/'-separated, relative) under
// `destination`; `shown` names it in messages.
struct OutputFile {
  platform::Destination* destination = nullptr;
  std::string path;
  std::string shown;
};

// An entry name as a path under the destination: one leading backslash
// dropped (as joining does), '/' as the separator.
[[nodiscard]] std::string EntryPathUnderDestination(std::string_view name);

// Creates the pending file of `output`. Returns 0, or -2 with `reason` set.
[[nodiscard]] int CreateOutput(const OutputFile& output, platform::PendingFile* pending, std::string* reason);

// Stores `reason` when the caller asked for it; returns `code`.
int Fail(std::string* reason, int code, const std::string& text);

}  // namespace pack_internal
