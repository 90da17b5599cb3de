// SPDX-License-Identifier: GPL-2.0-or-later
// Chunked movement of entry data: copying a run of the pack file and
// inflating a zlib stream that lies in it (with ISA-L), in bounded memory.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "pack/pack_internal.h"

namespace pack_internal {

namespace {

// Why a zlib header (RFC 1950: CMF, FLG) is refused, in zlib's words and
// order, or null. zlib takes no window above 32 KiB and no preset
// dictionary; ISA-L would take both, so they are refused here first.
const char* ZlibHeaderProblem(uint8_t cmf, uint8_t flg) {
  if ((cmf * 256u + flg) % 31 != 0) return "incorrect header check";
  if ((cmf & 0x0F) != 8) return "unknown compression method";
  if ((cmf >> 4) > 7) return "invalid window size";
  if ((flg & 0x20) != 0) return "needs a preset dictionary";
  return nullptr;
}

// isal_inflate's failure codes, in the words zlib uses for the same faults.
const char* InflateProblem(int rc) {
  switch (rc) {
    case ISAL_INVALID_BLOCK: return "invalid block type or lengths";
    case ISAL_INVALID_SYMBOL: return "invalid code";
    case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
    case ISAL_INVALID_WRAPPER: return "incorrect header check";
    case ISAL_UNSUPPORTED_METHOD: return "unknown compression method";
    case ISAL_INCORRECT_CHECKSUM: return "incorrect data check";
    case ISAL_NEED_DICT: return "needs a preset dictionary";
    default: return "damaged zlib stream";
  }
}

DataResult Corrupt(std::string* detail, const char* why) {
  if (detail != nullptr) *detail = why;
  return DataResult::kCorrupt;
}

}  // namespace

Deflater::~Deflater() {
  if (ready_) deflateEnd(&stream_);
}

bool Deflater::Start() {
  if (ready_) {
    if (deflateReset(&stream_) == Z_OK) return true;
    deflateEnd(&stream_);
    ready_ = false;
  }
  stream_ = z_stream{};
  ready_ = deflateInit(&stream_, pack_internal::kEntryDeflateLevel) == Z_OK;
  return ready_;
}

inflate_state* Inflater::Start() {
  if (!state_) state_.reset(new (std::nothrow) inflate_state);
  if (!state_) return nullptr;
  isal_inflate_init(state_.get());
  state_->crc_flag = ISAL_ZLIB;
  return state_.get();
}

void EnsureChunks(PackHandle& pack) {
  if (pack.inChunk.size() != kChunkBytes) pack.inChunk.resize(kChunkBytes);
  if (pack.outChunk.size() != kChunkBytes) pack.outChunk.resize(kChunkBytes);
}

DataResult CopyFromPack(PackHandle& pack, uint64_t offset, uint64_t length, const ChunkSink& sink,
                        const KernelCopyTarget* target) {
  while (target != nullptr && length > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kKernelCopyBytes));
    const int64_t copied = pack.copyRange(pack.file, static_cast<int64_t>(offset), *target->file, piece);
    if (copied <= 0) break;  // refused, failed or at the end of the pack: the chunks take over
    offset += static_cast<uint64_t>(copied);
    length -= static_cast<uint64_t>(copied);
    if (target->copied) target->copied(static_cast<size_t>(copied));
  }
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
  inflate_state* st = pack.inflater.Start();
  if (st == nullptr) return DataResult::kNoMemory;
  st->next_in = nullptr;
  st->avail_in = 0;
  bool headerChecked = false;
  uint64_t total = 0;
  for (;;) {
    if (st->avail_in == 0 && length > 0) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kChunkBytes));
      if (!platform::ReadFileAt(pack.file, static_cast<int64_t>(offset), pack.inChunk.data(), piece)) {
        return DataResult::kReadFailed;
      }
      st->next_in = pack.inChunk.data();
      st->avail_in = static_cast<uint32_t>(piece);
      offset += piece;
      length -= piece;
    }
    // The first piece holds the 2-byte header unless the whole stream is
    // shorter, which ends below as a cut stream.
    if (!headerChecked && st->avail_in >= 2) {
      if (const char* why = ZlibHeaderProblem(st->next_in[0], st->next_in[1])) return Corrupt(detail, why);
      headerChecked = true;
    }
    const uint32_t inBefore = st->avail_in;
    st->next_out = pack.outChunk.data();
    st->avail_out = static_cast<uint32_t>(kChunkBytes);
    const int rc = isal_inflate(st);
    const size_t got = kChunkBytes - st->avail_out;
    if (rc != ISAL_DECOMP_OK) return Corrupt(detail, InflateProblem(rc));
    total += got;
    *produced = total;
    if (total > capacity) return DataResult::kTooLong;
    if (got > 0 && !sink(pack.outChunk.data(), got)) return DataResult::kSinkFailed;
    if (st->block_state == ISAL_BLOCK_FINISH) {
      // Input ISA-L took but did not use is still in its bit buffer.
      if (unread != nullptr) *unread = length + st->avail_in + static_cast<uint64_t>(st->read_in_length / 8);
      return DataResult::kOk;
    }
    if (st->avail_out > 0 && st->avail_in == 0 && length == 0) return Corrupt(detail, "zlib stream cut short");
    // isal_inflate returns only with its input used up or its output full;
    // anything else would loop for ever.
    if (got == 0 && st->avail_in == inBefore) return Corrupt(detail, "damaged zlib stream");
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
