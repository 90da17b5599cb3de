// Chunked movement of entry data: copying a run of the pack file and
// inflating a zlib stream that lies in it, in bounded memory.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pack/pack_internal.h"

namespace pack_internal {

ZStream::~ZStream() {
  if (!ready_) return;
  if (direction_ == Direction::kInflate) {
    inflateEnd(&stream_);
  } else {
    deflateEnd(&stream_);
  }
}

bool ZStream::Start() {
  if (ready_) {
    int rc = direction_ == Direction::kInflate ? inflateReset(&stream_) : deflateReset(&stream_);
    if (rc == Z_OK) return true;
    ready_ = false;
  }
  stream_ = z_stream{};
  int rc = direction_ == Direction::kInflate ? inflateInit(&stream_) : deflateInit(&stream_, Z_BEST_COMPRESSION);
  ready_ = rc == Z_OK;
  return ready_;
}

void EnsureChunks(PackHandle& pack) {
  if (pack.inChunk.size() != kChunkBytes) pack.inChunk.resize(kChunkBytes);
  if (pack.outChunk.size() != kChunkBytes) pack.outChunk.resize(kChunkBytes);
}

DataResult CopyFromPack(PackHandle& pack, uint64_t offset, uint64_t length, const ChunkSink& sink) {
  EnsureChunks(pack);
  while (length > 0) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kChunkBytes));
    if (!platform::ReadFileAt(pack.file, static_cast<int64_t>(offset), pack.inChunk.data(), piece)) {
      return DataResult::kReadFailed;
    }
    if (!sink(pack.inChunk.data(), piece)) return DataResult::kSinkFailed;
    offset += piece;
    length -= piece;
  }
  return DataResult::kOk;
}

DataResult InflateFromPack(PackHandle& pack, uint64_t offset, uint64_t length, uint64_t capacity,
                           const ChunkSink& sink, uint64_t* produced, std::string* detail, uint64_t* unread) {
  *produced = 0;
  EnsureChunks(pack);
  if (!pack.inflater.Start()) return DataResult::kNoMemory;
  z_stream& zs = pack.inflater.get();
  zs.next_in = nullptr;
  zs.avail_in = 0;
  uint64_t total = 0;
  for (;;) {
    if (zs.avail_in == 0 && length > 0) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kChunkBytes));
      if (!platform::ReadFileAt(pack.file, static_cast<int64_t>(offset), pack.inChunk.data(), piece)) {
        return DataResult::kReadFailed;
      }
      zs.next_in = pack.inChunk.data();
      zs.avail_in = static_cast<uInt>(piece);
      offset += piece;
      length -= piece;
    }
    zs.next_out = pack.outChunk.data();
    zs.avail_out = static_cast<uInt>(kChunkBytes);
    int rc = inflate(&zs, Z_NO_FLUSH);
    size_t got = kChunkBytes - zs.avail_out;
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR) {
      if (detail != nullptr) *detail = zs.msg != nullptr ? zs.msg : "damaged zlib stream";
      return DataResult::kCorrupt;
    }
    if (rc == Z_MEM_ERROR) return DataResult::kNoMemory;
    total += got;
    *produced = total;
    if (total > capacity) return DataResult::kTooLong;
    if (got > 0 && !sink(pack.outChunk.data(), got)) return DataResult::kSinkFailed;
    if (rc == Z_STREAM_END) {
      if (unread != nullptr) *unread = length + zs.avail_in;
      return DataResult::kOk;
    }
    if (rc == Z_BUF_ERROR && zs.avail_in == 0 && length == 0) {
      if (detail != nullptr) *detail = "zlib stream cut short";
      return DataResult::kCorrupt;
    }
  }
}

int DeliverOutput(const OutputFile& output, platform::File& written, std::string* reason) {
  if (output.stream == nullptr) return kPackOk;
  const int64_t size = written.IsOpen() ? platform::FileSize(written) : -1;
  if (size < 0) return Fail(reason, kPackFileError, "cannot measure the restored " + output.shown);
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(size, kChunkBytes)));
  for (int64_t offset = 0; offset < size;) {
    const size_t piece = static_cast<size_t>(std::min<int64_t>(size - offset, kChunkBytes));
    if (!platform::ReadFileAt(written, offset, chunk.data(), piece)) {
      return Fail(reason, kPackFileError,
                  "cannot read the restored " + output.shown + " back: " + std::strerror(errno));
    }
    if (platform::WriteFile(*output.stream, chunk.data(), piece) != static_cast<int64_t>(piece)) {
      return Fail(reason, kPackFileError,
                  "cannot write " + output.shown + " to the output stream: " + std::strerror(errno));
    }
    offset += static_cast<int64_t>(piece);
  }
  return kPackOk;
}

void ReportWritten(const OutputFile& output, uint64_t bytes) {
  if (output.written != nullptr && *output.written) (*output.written)(bytes);
}

int Fail(std::string* reason, int code, const std::string& text) {
  if (reason != nullptr) *reason = text;
  return code;
}

}  // namespace pack_internal
