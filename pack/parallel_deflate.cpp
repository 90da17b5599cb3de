// SPDX-License-Identifier: GPL-2.0-or-later
// Block deflate: the calling thread reads blocks and writes their deflated
// pieces in order; up to `threads` blocks are deflated at once by
// std::async tasks, so at most threads + 2 blocks (1 MiB of input each,
// with their output) are held.
#include "pack/parallel_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <future>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

namespace pack_internal {
namespace {

constexpr size_t kWindowBytes = 32 * 1024;

// The zlib header zlib itself writes at the default level with a 32 KiB window.
constexpr uint8_t kZlibHeader[2] = {0x78, 0x9C};

struct Block {
  std::vector<uint8_t> dictionary;  // the last bytes of the block before
  std::vector<uint8_t> input;
  bool last = false;
};

struct Piece {
  bool ok = false;
  std::vector<uint8_t> output;
  uint32_t adler = 1;
  size_t inputBytes = 0;
};

// Deflates one block raw: primed with its dictionary, ended by a sync flush
// (whole bytes, the stream still open) or, for the last, by the final block.
Piece DeflateBlock(const Block& block) {
  Piece piece;
  piece.inputBytes = block.input.size();
  piece.adler = static_cast<uint32_t>(adler32(1, block.input.data(), static_cast<uInt>(block.input.size())));
  z_stream zs{};
  if (deflateInit2(&zs, kEntryDeflateLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return piece;
  bool ok = block.dictionary.empty() ||
            deflateSetDictionary(&zs, block.dictionary.data(), static_cast<uInt>(block.dictionary.size())) == Z_OK;
  if (ok) {
    std::vector<uint8_t>& out = piece.output;
    out.resize(deflateBound(&zs, static_cast<uLong>(block.input.size())) + 64);
    zs.next_in = const_cast<Bytef*>(block.input.data());
    zs.avail_in = static_cast<uInt>(block.input.size());
    const int flush = block.last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      zs.next_out = out.data() + zs.total_out;
      zs.avail_out = static_cast<uInt>(out.size() - zs.total_out);
      const int rc = deflate(&zs, flush);
      if (rc == Z_STREAM_ERROR) {
        ok = false;
        break;
      }
      if (block.last ? rc == Z_STREAM_END : zs.avail_out != 0) break;
      out.resize(out.size() * 2);
    }
    out.resize(zs.total_out);
  }
  deflateEnd(&zs);
  piece.ok = ok;
  return piece;
}

// Reads up to one block from `io` into `block`. Returns false when the
// source cannot be read or memory cannot be had.
bool ReadBlock(const DeflateIo& io, std::vector<uint8_t>& block, DeflateOutcome* failure) {
  *failure = DeflateOutcome::kNoMemory;
  try {
    block.resize(kDeflateBlockBytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_t filled = 0;
  while (filled < block.size()) {
    const int64_t got = io.read(block.data() + filled, block.size() - filled);
    if (got < 0) {
      *failure = DeflateOutcome::kReadFailed;
      return false;
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  block.resize(filled);
  return true;
}

// The one-stream path, as the writer has always deflated.
DeflateOutcome DeflateSingle(Deflater& single, const std::vector<uint8_t>& input, const DeflateIo& io) {
  if (!single.Start()) return DeflateOutcome::kNoMemory;
  z_stream& zs = single.get();
  zs.next_in = const_cast<Bytef*>(input.data());
  zs.avail_in = static_cast<uInt>(input.size());
  uint8_t out[64 * 1024];
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    zs.next_out = out;
    zs.avail_out = sizeof out;
    rc = deflate(&zs, Z_FINISH);
    if (rc == Z_STREAM_ERROR) return DeflateOutcome::kNoMemory;
    if (!io.write(out, sizeof out - zs.avail_out)) return DeflateOutcome::kStopped;
  }
  return DeflateOutcome::kDone;
}

// Starts deflating `block` on its own thread, or deflates it here when no
// thread can be had.
std::future<Piece> Launch(std::shared_ptr<const Block> block) {
  try {
    return std::async(std::launch::async, [block]() { return DeflateBlock(*block); });
  } catch (const std::system_error&) {
  }
  std::promise<Piece> done;
  done.set_value(DeflateBlock(*block));
  return done.get_future();
}

}  // namespace

DeflateOutcome DeflateStream(Deflater& single, const DeflateIo& io, int threads, uint64_t maxInput,
                             uint64_t* unpacked) {
  *unpacked = 0;
  DeflateOutcome failure = DeflateOutcome::kDone;
  std::vector<uint8_t> current;
  std::vector<uint8_t> next;
  if (!ReadBlock(io, current, &failure)) return failure;
  *unpacked = current.size();
  if (current.size() == kDeflateBlockBytes && !ReadBlock(io, next, &failure)) return failure;
  *unpacked += next.size();
  if (*unpacked > maxInput) return DeflateOutcome::kTooLarge;
  if (next.empty()) return DeflateSingle(single, current, io);

  if (!io.write(kZlibHeader, sizeof kZlibHeader)) return DeflateOutcome::kStopped;
  uLong adler = adler32(0, nullptr, 0);
  std::deque<std::future<Piece>> running;  // in input order
  // Writes the oldest running block's piece.
  auto writeOldest = [&]() {
    Piece piece = running.front().get();
    running.pop_front();
    if (!piece.ok) return DeflateOutcome::kNoMemory;
    adler = adler32_combine(adler, piece.adler, static_cast<z_off_t>(piece.inputBytes));
    return io.write(piece.output.data(), piece.output.size()) ? DeflateOutcome::kDone : DeflateOutcome::kStopped;
  };
  std::vector<uint8_t> dictionary;
  const size_t most = static_cast<size_t>(std::max(threads, 1));
  while (!current.empty()) {
    auto shared = std::make_shared<Block>();
    Block& block = *shared;
    block.dictionary = dictionary;
    const size_t tail = std::min(current.size(), kWindowBytes);
    dictionary.assign(current.end() - static_cast<std::ptrdiff_t>(tail), current.end());
    block.input = std::move(current);
    block.last = next.empty();
    current = std::move(next);
    next.clear();
    if (!block.last && current.size() == kDeflateBlockBytes) {
      if (!ReadBlock(io, next, &failure)) return failure;
      *unpacked += next.size();
      if (*unpacked > maxInput) return DeflateOutcome::kTooLarge;
    }
    if (running.size() == most) {
      if (const DeflateOutcome r = writeOldest(); r != DeflateOutcome::kDone) return r;
    }
    running.push_back(Launch(std::move(shared)));
  }
  while (!running.empty()) {
    if (const DeflateOutcome r = writeOldest(); r != DeflateOutcome::kDone) return r;
  }
  const uint8_t trailer[4] = {static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
                              static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)};
  return io.write(trailer, sizeof trailer) ? DeflateOutcome::kDone : DeflateOutcome::kStopped;
}

}  // namespace pack_internal
